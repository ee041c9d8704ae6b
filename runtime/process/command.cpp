#include "runtime/process/command.h"

#include <windows.h>

#include <cwchar>
#include <cwctype>
#include <optional>

#include "runtime/errors/codepage.h"
#include "runtime/errors/format.h"
#include "runtime/errors/vexception.h"
#include "runtime/filesystem/fileops.h"
#include "runtime/filesystem/vfilename.h"
#include "runtime/holder.h"
#include "srvclient/srvclient.h"

namespace {

using UpcaseFunction = WCHAR(NTAPI*)(WCHAR);

// Resolved when the library is loaded.
const UpcaseFunction rtlUpcase = reinterpret_cast<UpcaseFunction>(
    reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "RtlUpcaseUnicodeChar")));

bool needsQuotes(wchar_t c) noexcept { return std::iswspace(c) || (c != 0 && std::wcschr(L"\"&<>()[]{}^=;!'+,`~|", c)); }

[[noreturn]] void cannotStart(const std::wstring& text) { throwRuntimeError(text, 0); }

std::wstring withBackslash(std::wstring directory) {
    if (!directory.empty() && directory.back() != L'\\') directory += L'\\';
    return directory;
}

std::wstring quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

// GetFileAttributes of `path` (in `attributes`): false for a name that does not exist (or cannot, or whose
// drive or share is not there); other failures throw.
bool attributesExist(const std::wstring& path, DWORD* attributes = nullptr) {
    const DWORD found = ::GetFileAttributesW(VFileName::toLongPath(path).c_str());
    if (attributes) *attributes = found;
    if (found != INVALID_FILE_ATTRIBUTES) return true;
    switch (const DWORD error = ::GetLastError()) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_NOT_READY:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
        case ERROR_BAD_PATHNAME: return false;
        default: throwRuntimeError(formatString(L"Unable to get file (%s) attributes", path), error);
    }
}

// The program's full name when `directory` holds it (empty `directory`: the name as written).
std::optional<std::wstring> findIn(const std::wstring& directory, std::wstring program) {
    for (wchar_t& c : program)
        if (c == L'/') c = L'\\';
    const std::wstring candidate = directory.empty() ? program : VFileName::combine(directory, program);
    // A folder is no program, whatever its name: then the files named like it count.
    DWORD attributes = 0;
    const bool file = attributesExist(candidate, &attributes) && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
    const std::wstring pattern = file ? candidate : candidate + L".*";
    VFileFinder finder;
    bool found = false;
    try {
        found = finder.first(pattern);
    } catch (const vosexception&) {
        return std::nullopt;  // a folder that cannot be listed holds no match
    }
    for (; found; found = finder.next()) {
        if (finder.isDirectory()) continue;
        const std::wstring plain = VFileName::stripLongPrefix(candidate);
        const size_t slash = plain.rfind(L'\\');
        return slash == std::wstring::npos ? finder.name() : withBackslash(plain.substr(0, slash)) + finder.name();
    }
    return std::nullopt;
}

std::wstring systemFolder(UINT(WINAPI* get)(LPWSTR, UINT), const wchar_t* failure) {
    wchar_t buffer[MAX_PATH + 1] = {};
    const UINT length = get(buffer, MAX_PATH);
    if (length == 0 || length > MAX_PATH) throwRuntimeError(failure, length == 0 ? ::GetLastError() : ERROR_INSUFFICIENT_BUFFER);
    return std::wstring(buffer, length);
}

std::wstring systemDirectory() { return systemFolder(&::GetSystemDirectoryW, L"Unable to get system directory"); }

std::optional<std::wstring> searchProgram(const std::wstring& program, const std::wstring& environmentBlock) {
    if (auto found = findIn(L"", program)) return found;
    std::wstring current;
    try {
        current = VDirectory::current();
    } catch (const vosexception& e) {
        throwRuntimeError(L"Unable to get current directory", e.code());
    }
    for (wchar_t& c : current)
        if (c == L'/') c = L'\\';
    std::vector<std::wstring> folders = {current, systemDirectory(),
                                         systemFolder(&::GetWindowsDirectoryW, L"Unable to get windows directory")};
    for (std::wstring& folder : command_detail::pathFolders(environmentBlock)) folders.push_back(std::move(folder));
    for (const std::wstring& folder : folders)
        if (auto found = findIn(folder, program)) return found;
    return std::nullopt;
}

// The first line of the file that is not empty or white space only (nor, with `skipShebang`, a "#!" line of
// three characters or more), from its first non-white character; nothing at the end of the file. Lines end
// at a line feed, a carriage return before it is dropped.
std::optional<std::string> firstMeaningfulLine(const std::wstring& path, bool skipShebang) {
    // Longer lines are cut: the tests look at their first characters only.
    constexpr size_t longestLine = 64 * 1024;
    VFile file(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
               FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL);
    std::string line;
    char buffer[4096];
    bool atEnd = false;
    while (!atEnd) {
        const DWORD count = file.read(buffer, sizeof buffer);
        atEnd = count == 0;
        for (DWORD i = 0; i <= count; ++i) {
            const bool lineEnds = i == count ? atEnd : buffer[i] == '\n';
            if (!lineEnds) {
                if (i < count && line.size() < longestLine) line += buffer[i];
                continue;
            }
            if (!line.empty() && line.back() == '\r') line.pop_back();
            const size_t first = line.find_first_not_of(" \t\r\v\f");
            const bool meaningful = first != std::string::npos && !(skipShebang && line.size() >= 3 && line.starts_with("#!"));
            if (meaningful) return line.substr(first);
            line.clear();
        }
    }
    return std::nullopt;
}

bool isPhpSource(const std::wstring& file, const std::wstring& extension) {
    const std::optional<std::string> line = firstMeaningfulLine(file, true);
    if (!line) return false;
    const std::wstring probe = upcase(wstr(*line));
    if (probe.starts_with(L"<?")) return true;
    return (probe.starts_with(L"<%") || probe.starts_with(L"<SCRIPT")) && (extension == L"PHP" || extension == L"PHP3");
}

// The upper-cased interpreter named by the file's "#!" line (the part after its last "/" or "\"), if it has one.
std::optional<std::wstring> shebangInterpreter(const std::wstring& file) {
    const std::optional<std::string> line = firstMeaningfulLine(file, false);
    if (!line || line->size() < 3 || !line->starts_with("#!")) return std::nullopt;
    const std::string rest = line->substr(2);
    const size_t slash = rest.find_last_of("/\\");
    return upcase(wstr(slash == std::string::npos ? rest : rest.substr(slash + 1)));
}

std::wstring componentProgram(const wchar_t* package, const wchar_t* language, const wchar_t* relative,
                              const std::wstring& file) {
    const std::wstring directory =
        TarvoSrvClient::getInstance().componentInfo(package, TarvoSrvClient::componentDirectory);
    if (directory.empty()) cannotStart(formatString(L"Unable to start (%s): %s is not installed", file, std::wstring(language)));
    return withBackslash(directory) + relative;
}

std::wstring plainCommand(const std::wstring& file, const std::wstring& arguments) {
    return quoted(file) + L" " + arguments;
}

std::wstring interpreterCommand(const std::wstring& interpreter, const std::wstring& file, const std::wstring& arguments) {
    return quoted(interpreter) + L" " + quoted(file) + L" " + arguments;
}

std::wstring perlCommand(const std::wstring& file, const std::wstring& arguments) {
    return interpreterCommand(componentProgram(L"perl", L"Perl", L"bin\\perl.exe", file), file, arguments);
}

std::wstring pythonCommand(const std::wstring& file, const std::wstring& arguments) {
    return interpreterCommand(componentProgram(L"python", L"Python", L"python.exe", file), file, arguments);
}

std::wstring phpCommand(const std::wstring& file, const std::wstring& arguments, bool useProductPhp) {
    if (!useProductPhp) return interpreterCommand(componentProgram(L"php", L"PHP", L"php.exe", file), file, arguments);
    const std::wstring php =
        VFileName::combine(TarvoSrvClient::getInstance().getString(L"PRODUCT_ROOT_D"), L"admin\\engine\\php.exe");
    return quoted(php) + L" -q " + quoted(file) + L" " + arguments;
}

std::wstring commandForFile(const std::wstring& file, const std::wstring& arguments, bool rawOnly, bool useProductPhp) {
    DWORD binaryType = 0;
    if (rawOnly || ::GetBinaryTypeW(file.c_str(), &binaryType)) return plainCommand(file, arguments);
    // The file name's own extension: a dot in a folder name says nothing about the file.
    const std::wstring dotted = VFileName::extension(VFileName::fileName(file));
    const std::wstring extension = dotted.empty() ? std::wstring() : upcase(dotted.substr(1));
    if (isPhpSource(file, extension)) return phpCommand(file, arguments, useProductPhp);
    if (const std::optional<std::wstring> interpreter = shebangInterpreter(file)) {
        if (interpreter->find(L"PERL") != std::wstring::npos) return perlCommand(file, arguments);
        if (interpreter->find(L"PYTHON") != std::wstring::npos) return pythonCommand(file, arguments);
        if (interpreter->find(L"PHP") != std::wstring::npos) return phpCommand(file, arguments, useProductPhp);
        cannotStart(formatString(L"Unable to start (%s): Is not a known application (%s)", file, *interpreter));
    }
    const auto is = [&](std::initializer_list<const wchar_t*> names) {
        for (const wchar_t* name : names)
            if (extension == name) return true;
        return false;
    };
    if (is({L"BAT", L"CMD"})) {
        std::wstring command = plainCommand(file, arguments);
        for (size_t at; (at = command.find(L"\\\"")) != std::wstring::npos;) command.erase(at, 2);
        return command;
    }
    if (is({L"VB", L"VBS", L"VBE", L"JS", L"JSE", L"ASP"}))
        return quoted(withBackslash(systemDirectory()) + L"cscript.exe") + L" /nologo " + quoted(file) + L" " + arguments;
    if (is({L"PL", L"PM"})) return perlCommand(file, arguments);
    if (is({L"PY", L"PYC"})) return pythonCommand(file, arguments);
    if (is({L"PHP", L"PHP3"})) return phpCommand(file, arguments, useProductPhp);
    cannotStart(formatString(L"Unable to start (%s): Is not a known application", file));
}

}  // namespace

std::wstring quoteArgument(const std::wstring& argument) {
    bool plain = !argument.empty();
    for (wchar_t c : argument) plain = plain && !needsQuotes(c);
    if (plain) return argument;
    // Built back to front: a backslash is doubled only where a quote (or the closing quote) follows it.
    std::wstring reversed;
    reversed.reserve(argument.size() + 8);
    bool beforeQuote = true;
    for (auto it = argument.rbegin(); it != argument.rend(); ++it) {
        reversed += *it;
        if (*it == L'"' || (*it == L'\\' && beforeQuote)) {
            reversed += L'\\';
            beforeQuote = true;
        } else {
            beforeQuote = false;
        }
    }
    return L"\"" + std::wstring(reversed.rbegin(), reversed.rend()) + L"\"";
}

std::wstring upcase(std::wstring text) {
    if (rtlUpcase != nullptr) {
        for (wchar_t& c : text) c = rtlUpcase(c);
    } else if (!text.empty()) {
        ::CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
    }
    return text;
}

void ProcessEnvironment::set(const std::wstring& name, const std::wstring& value) { entries_[upcase(name)] = value; }

std::wstring ProcessEnvironment::block() const {
    size_t length = 1;
    for (const auto& [name, value] : entries_) length += name.size() + value.size() + 2;
    std::wstring block;
    block.reserve(length);
    for (const auto& [name, value] : entries_) {
        block += name;
        block += L'=';
        block += value;
        block += L'\0';
    }
    block += L'\0';
    return block;
}

namespace command_detail {

std::vector<std::wstring> pathFolders(const std::wstring& environmentBlock) {
    std::vector<std::wstring> folders;
    size_t position = 0;
    while (position < environmentBlock.size() && environmentBlock[position] != L'\0') {
        const size_t end = std::min(environmentBlock.find(L'\0', position), environmentBlock.size());
        const std::wstring entry = environmentBlock.substr(position, end - position);
        position = end + 1;
        // Hidden entries ("=C:=C:\...") start with their "=": the name's own "=" comes after it.
        const size_t equals = entry.find(L'=', 1);
        if (equals == std::wstring::npos || upcase(entry.substr(0, equals)) != L"PATH") continue;
        const size_t valueStart = entry.find_first_not_of(L" \t", equals + 1);
        if (valueStart == std::wstring::npos) break;
        for (size_t at = valueStart; at <= entry.size();) {
            const size_t semicolon = std::min(entry.find(L';', at), entry.size());
            if (semicolon > at) folders.push_back(entry.substr(at, semicolon - at));
            at = semicolon + 1;
        }
        break;
    }
    return folders;
}

}  // namespace command_detail

std::wstring resolveCommand(const std::wstring& program, const std::wstring& arguments,
                            const std::wstring& environmentBlock, bool rawOnly, bool useProductPhp) {
    const std::optional<std::wstring> found = searchProgram(program, environmentBlock);
    if (found) return commandForFile(*found, arguments, rawOnly, useProductPhp);
    const std::wstring notRecognized = formatString(
        L"'%s' is not recognized as an internal or external command, operable program or batch file.", program);
    if (rawOnly && attributesExist(program)) return plainCommand(program, arguments);
    cannotStart(notRecognized);
}
