// A stand-in for the product's PHP interpreter, placed as "admin\engine\php.exe" under the product root:
//
//   php.exe [-q] SCRIPT [ARGUMENT...]
//
// On standard output (ANSI code page, CR LF): "php: argument N: TEXT" for every argument it was given, -q and
// the script included, then "php: TARVO_INTERNAL_PHP_EXEC=VALUE" (or "php: TARVO_INTERNAL_PHP_EXEC unset");
// on standard error "php: SCRIPT exits with CODE"; last, on standard output, "php: done" without a line end.
// The exit code is the number after the first "exit(" in the script file, 0 when there is none; a script
// that cannot be read exits with 254 after a line on standard error.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

namespace {

void write(DWORD which, const std::wstring& text) {
    const int size = ::WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size, nullptr, nullptr);
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(which), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

bool readScript(const wchar_t* path, std::string& content) {
    FILE* file = _wfopen(path, L"rb");
    if (!file) return false;
    char chunk[4096];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) content.append(chunk, n);
    std::fclose(file);
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const wchar_t* script = nullptr;
    for (int i = 1; i < argc; ++i) {
        write(STD_OUTPUT_HANDLE, L"php: argument " + std::to_wstring(i) + L": " + argv[i] + L"\r\n");
        if (!script && argv[i][0] != L'-') script = argv[i];
    }
    wchar_t value[1024] = {};
    if (::GetEnvironmentVariableW(L"TARVO_INTERNAL_PHP_EXEC", value, 1024))
        write(STD_OUTPUT_HANDLE, std::wstring(L"php: TARVO_INTERNAL_PHP_EXEC=") + value + L"\r\n");
    else
        write(STD_OUTPUT_HANDLE, L"php: TARVO_INTERNAL_PHP_EXEC unset\r\n");
    std::string content;
    if (!script || !readScript(script, content)) {
        write(STD_ERROR_HANDLE, std::wstring(L"php: cannot read the script ") + (script ? script : L"(none)") + L"\r\n");
        return 254;
    }
    const size_t exit = content.find("exit(");
    const int code = exit == std::string::npos ? 0 : std::atoi(content.c_str() + exit + 5);
    write(STD_ERROR_HANDLE, std::wstring(L"php: ") + script + L" exits with " + std::to_wstring(code) + L"\r\n");
    write(STD_OUTPUT_HANDLE, L"php: done");
    return code;
}
