#include "engine/undo.h"

#include "engine/masking.h"
#include "msi/vmsi.h"
#include "runtime/errors/format.h"
#include "runtime/errors/vexception.h"
#include "runtime/filesystem/fileops.h"
#include "runtime/filesystem/replacefile.h"
#include "runtime/holder.h"

// ---- FileUndo ----

FileUndo::Content FileUndo::read(const std::wstring& path) {
    bool isDirectory = false;
    if (!fileExist(path, &isDirectory) || isDirectory) return {};
    return {true, VFile(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL)
                      .readAll()};
}

void FileUndo::before(const std::wstring& path) {
    path_ = path;
    previous_ = read(path);
    state_ = State::Before;
}

void FileUndo::after() {
    if (state_ == State::Idle) return;
    left_ = read(path_);
    state_ = left_.exists == previous_.exists && left_.bytes == previous_.bytes ? State::Before : State::After;
}

void FileUndo::undo(vmsi& session) {
    const std::wstring shown = maskSecrets(path_);  // the path comes from a script, which may put a password in it
    if (state_ != State::After) {
        if (!path_.empty()) session.log(L"Rollback: file '%s' was not changed: nothing to undo", shown);
        return;
    }
    const Content now = read(path_);
    if (now.exists != left_.exists || now.bytes != left_.bytes) {
        session.log(L"Rollback: file '%s' is left as it is: %s", shown,
                    std::wstring(now.exists ? L"it was changed after the action" : L"it no longer exists"));
        return;
    }
    if (previous_.exists) {
        replaceFileContent(path_, previous_.bytes);
        session.log(L"Rollback: file '%s' has its previous content again", shown);
    } else {
        removeFile(path_, false, false, 3, 400);
        session.log(L"Rollback: file '%s', which the action created, is removed", shown);
    }
    state_ = State::Before;
}

// ---- RegistryValueUndo ----

RegistryValueUndo::Value RegistryValueUndo::read() const {
    Value value;
    tarvo::unique_hkey key;
    if (::RegOpenKeyExW(root_, subkey_.c_str(), 0, KEY_QUERY_VALUE | view_, key.put()) != ERROR_SUCCESS) return value;
    value.keyExists = true;
    DWORD size = 0;
    if (::RegQueryValueExW(key.get(), name_.c_str(), nullptr, &value.type, nullptr, &size) != ERROR_SUCCESS)
        return value;
    value.data.resize(size);
    if (::RegQueryValueExW(key.get(), name_.c_str(), nullptr, &value.type, value.data.data(), &size) != ERROR_SUCCESS) {
        value.type = REG_NONE;
        value.data.clear();
        return value;
    }
    value.data.resize(size);
    value.exists = true;
    return value;
}

std::wstring RegistryValueUndo::displayName() const {
    const wchar_t* root = root_ == HKEY_LOCAL_MACHINE ? L"HKLM" : root_ == HKEY_CLASSES_ROOT ? L"HKCR" : L"HKEY";
    // For log lines: the key and the value name come from a script, which may put a password in them.
    return maskSecrets(formatString(L"%s\\%s\\%s%s", std::wstring(root), subkey_, name_,
                        std::wstring(view_ == KEY_WOW64_32KEY ? L" (32-bit view)" : L"")));
}

void RegistryValueUndo::before(HKEY root, const std::wstring& subkey, const std::wstring& name, REGSAM view) {
    root_ = root;
    subkey_ = subkey;
    name_ = name;
    view_ = view;
    previous_ = read();
    state_ = State::Before;
}

void RegistryValueUndo::after() noexcept {
    if (state_ == State::Idle) return;
    try {
        left_ = read();
        state_ = left_ == previous_ ? State::Before : State::After;
    } catch (...) {
        state_ = State::Before;
    }
}

void RegistryValueUndo::undo(vmsi& session) {
    if (state_ != State::After) {
        if (root_) session.log(L"Rollback: registry value '%s' was not changed: nothing to undo", displayName());
        return;
    }
    if (read() != left_) {
        session.log(L"Rollback: registry value '%s' is left as it is: it was changed after the action", displayName());
        return;
    }
    tarvo::unique_hkey key;
    if (const LSTATUS status = ::RegOpenKeyExW(root_, subkey_.c_str(), 0, KEY_SET_VALUE | view_, key.put()))
        throwOsError(L"RegOpenKeyEx subKey=" + subkey_, static_cast<DWORD>(status), errorFrame(L"", "RegistryValueUndo::undo"));
    if (previous_.exists) {
        if (const LSTATUS status = ::RegSetValueExW(key.get(), name_.c_str(), 0, previous_.type, previous_.data.data(),
                                                    static_cast<DWORD>(previous_.data.size())))
            throwOsError(L"RegSetValueEx valueName=" + name_, static_cast<DWORD>(status),
                         errorFrame(L"", "RegistryValueUndo::undo"));
        session.log(L"Rollback: registry value '%s' has its previous value again", displayName());
    } else {
        if (left_.exists)
            if (const LSTATUS status = ::RegDeleteValueW(key.get(), name_.c_str()))
                throwOsError(L"RegDeleteValue valueName=" + name_, static_cast<DWORD>(status),
                             errorFrame(L"", "RegistryValueUndo::undo"));
        // A key that the action created goes too, when nothing else has been put into it since.
        DWORD subkeys = 0, values = 0;
        key.reset();
        if (!previous_.keyExists &&
            ::RegOpenKeyExW(root_, subkey_.c_str(), 0, KEY_QUERY_VALUE | view_, key.put()) == ERROR_SUCCESS &&
            ::RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                               nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
            subkeys == 0 && values == 0) {
            key.reset();
            ::RegDeleteKeyExW(root_, subkey_.c_str(), view_, 0);
        }
        session.log(L"Rollback: registry value '%s', which the action created, is removed", displayName());
    }
    state_ = State::Before;
}
