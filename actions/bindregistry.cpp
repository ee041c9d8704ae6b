#include "actions/bindregistry.h"

#include <string_view>

#include "runtime/errors/annotate.h"
#include "runtime/errors/format.h"
#include "runtime/errors/vexception.h"
#include "runtime/filesystem/fileops.h"
#include "runtime/filesystem/replacefile.h"

namespace {

constexpr std::string_view lineBreak = "\r\n";

// The key file as text mode would copy it: every line end becomes CR LF.
std::string withCrLf(const std::string& text) {
    std::string result;
    result.reserve(text.size() + text.size() / 16);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        if (text[i] == '\n')
            result += lineBreak;
        else
            result += text[i];
    }
    return result;
}

std::string readWholeFile(const std::wstring& path) {
    return annotate("FormBINDKeyAction::Commit", [&] { return formatString(L"Unable to read the key file '%s'", path); },
                    [&] {
                        return VFile(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL)
                            .readAll();
                    });
}

}  // namespace

// ---- FormBINDKeyAction ----

const char FormBINDKeyAction::header[] =
    "options {\n"
    "\tdefault-server\tlocalhost;\n"
    "\tdefault-key\trndc-key;\n"
    "};\n"
    "server localhost {\n"
    "\tkey\trndc-key;\n"
    "};\n";

FormBINDKeyAction::FormBINDKeyAction(std::wstring text, std::wstring configFile, std::wstring keyFile)
    : Action(std::move(text)), configFile_(std::move(configFile)), keyFile_(std::move(keyFile)) {}

std::unique_ptr<Action> FormBINDKeyAction::CreateAction(const std::wstring& parameters, const std::wstring& text) {
    std::vector<std::wstring> fields = factoryFields(parameters, "FormBINDKeyAction", 2, 2);
    return std::make_unique<FormBINDKeyAction>(text, std::move(fields[0]), std::move(fields[1]));
}

void FormBINDKeyAction::execute(vmsi&) {
    // The key is read first, so that a missing key file leaves the old configuration untouched.
    const std::string key = readWholeFile(keyFile_);
    undo_.before(configFile_);
    try {
        replaceFileContent(configFile_, withCrLf(header) + withCrLf(key));
    } catch (...) {
        undo_.putBack();
        throw;
    }
    undo_.after();
}

void FormBINDKeyAction::rollback(vmsi& session) { undo_.undo(session); }

// ---- WriteRegistryDWORD ----

WriteRegistryDWORD::WriteRegistryDWORD(std::wstring text, HKEY root, std::wstring subkey, std::wstring valueName,
                                       int value)
    : Action(std::move(text)),
      root_(root),
      subkey_(std::move(subkey)),
      valueName_(std::move(valueName)),
      value_(value) {}

std::unique_ptr<Action> WriteRegistryDWORD::CreateAction(const std::wstring& parameters, const std::wstring& text) {
    std::vector<std::wstring> fields = factoryFields(parameters, "WriteRegistryDWORD", 4, 4);
    HKEY root = nullptr;
    if (fields[0] == L"CR")
        root = HKEY_CLASSES_ROOT;
    else if (fields[0] == L"LM")
        root = HKEY_LOCAL_MACHINE;
    else
        throw vexception(invalidRootMessage + fields[0] + invalidRootSuffix,
                         errorFrame(L"", "WriteRegistryDWORD::CreateAction"));
    return std::make_unique<WriteRegistryDWORD>(text, root, std::move(fields[1]), std::move(fields[2]),
                                                _wtoi(fields[3].c_str()));
}

void WriteRegistryDWORD::execute(vmsi&) {
    auto fail = [&](LSTATUS status) {
        throwOsError(formatString(L"Set Registry value %s to DWORD(%d)", subkey_, value_), static_cast<DWORD>(status),
                     errorFrame(L"", "WriteRegistryDWORD::Commit"));
    };
    undo_.before(root_, subkey_, valueName_, KEY_WOW64_32KEY);
    // Whatever the write got to (a key created, a value set) is noted for the rollback.
    struct NoteWhatChanged {
        RegistryValueUndo& undo;
        ~NoteWhatChanged() { undo.after(); }
    } noteWhatChanged{undo_};
    tarvo::unique_hkey key;
    if (const LSTATUS status = ::RegCreateKeyExW(root_, subkey_.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                                 KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr, key.put(), nullptr))
        fail(status);
    const DWORD data = static_cast<DWORD>(value_);
    if (const LSTATUS status = ::RegSetValueExW(key.get(), valueName_.c_str(), 0, REG_DWORD,
                                                reinterpret_cast<const BYTE*>(&data), sizeof data))
        fail(status);
}

void WriteRegistryDWORD::rollback(vmsi& session) { undo_.undo(session); }
