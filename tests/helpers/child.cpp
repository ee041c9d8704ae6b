// A child process for the tests of process execution and of the Cmd action: tarvo_child.exe [option...],
// options carried out in order:
//   --out TEXT     TEXT and CR LF on standard output (in the ANSI code page)
//   --err TEXT     the same on standard error
//   --bytes TEXT   TEXT on standard output as it is, with \r, \n and \\ standing for CR, LF and a backslash
//   --lines N      N lines "line <i>" with CR LF on standard output, written in large blocks
//   --echo         "cmdline: " and the command line it was given (UTF-8), CR LF
//   --record FILE  writes the command line it was given (UTF-8) into FILE
//   --cwd          "cwd: " and the current directory
//   --env NAME     "NAME=value", or "NAME unset"
//   --stdin        copies standard input to standard output until it ends
//   --sleep MS     pauses
//   --spawn MS     starts a copy of itself that sleeps MS, holding this one's standard output, and goes on
//   --fill MIB     MIB mebibytes of "x" on standard output, without a line break
//   --crash        dies of an access violation (exit code 0xC0000005, without the debugger)
//   --exit N       exits with N (decimal or 0x hexadecimal); the default is 0
// Copied under another name (perl.exe, python.exe, php.exe: a stand-in interpreter) it prints
// "<name> got: <its command line>" and exits with 0.
#include <windows.h>

#include <cwchar>
#include <cwctype>
#include <string>
#include <utility>

namespace {

void write(HANDLE handle, const std::string& bytes) {
    DWORD written = 0;
    for (size_t at = 0; at < bytes.size(); at += written)
        if (!::WriteFile(handle, bytes.data() + at, static_cast<DWORD>(bytes.size() - at), &written, nullptr)) return;
}

std::string narrow(const std::wstring& text, UINT codePage) {
    if (text.empty()) return {};
    const int size = ::WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), result.data(), size, nullptr, nullptr);
    return result;
}

std::string unescape(const std::wstring& text) {
    std::string bytes = narrow(text, CP_ACP);
    std::string result;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\\' && i + 1 < bytes.size()) {
            const char next = bytes[++i];
            result += next == 'r' ? '\r' : next == 'n' ? '\n' : next;
        } else {
            result += bytes[i];
        }
    }
    return result;
}

LONG WINAPI dieQuietly(EXCEPTION_POINTERS* info) {
    ::ExitProcess(info->ExceptionRecord->ExceptionCode);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring name = path;
    name = name.substr(name.find_last_of(L"\\/") + 1);
    for (wchar_t& c : name) c = static_cast<wchar_t>(std::towlower(c));
    if (name != L"tarvo_child.exe") {
        write(out, narrow(name + L" got: " + ::GetCommandLineW(), CP_UTF8) + "\r\n");
        return 0;
    }
    const std::wstring withValue = L" --out --err --bytes --lines --record --env --sleep --spawn --fill --exit ";
    DWORD exitCode = 0;
    for (int i = 1; i < argc; ++i) {
        const std::wstring option = argv[i];
        const std::wstring value = i + 1 < argc ? argv[i + 1] : L"";
        if (withValue.find(L" " + option + L" ") != std::wstring::npos) ++i;
        if (option == L"--out" || option == L"--err") {
            const DWORD stream = option == L"--out" ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE;
            write(::GetStdHandle(stream), narrow(value, CP_ACP) + "\r\n");
        } else if (option == L"--bytes") {
            write(out, unescape(value));
        } else if (option == L"--lines") {
            std::string block;
            for (long line = 1, count = std::wcstol(value.c_str(), nullptr, 10); line <= count; ++line) {
                block += "line " + std::to_string(line) + "\r\n";
                if (block.size() > 60000) write(out, std::exchange(block, std::string()));
            }
            write(out, block);
        } else if (option == L"--echo") {
            write(out, "cmdline: " + narrow(::GetCommandLineW(), CP_UTF8) + "\r\n");
        } else if (option == L"--record") {
            const HANDLE file = ::CreateFileW(value.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
            write(file, narrow(::GetCommandLineW(), CP_UTF8));
            ::CloseHandle(file);
        } else if (option == L"--cwd") {
            wchar_t directory[MAX_PATH] = {};
            ::GetCurrentDirectoryW(MAX_PATH, directory);
            write(out, "cwd: " + narrow(directory, CP_UTF8) + "\r\n");
        } else if (option == L"--env") {
            wchar_t data[4096] = {};
            const DWORD length = ::GetEnvironmentVariableW(value.c_str(), data, 4096);
            write(out, narrow(value, CP_UTF8) + (length ? "=" + narrow(data, CP_UTF8) : " unset") + "\r\n");
        } else if (option == L"--stdin") {
            char buffer[4096];
            DWORD read = 0;
            while (::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &read, nullptr) && read > 0)
                write(out, std::string(buffer, read));
        } else if (option == L"--sleep") {
            ::Sleep(static_cast<DWORD>(std::wcstoul(value.c_str(), nullptr, 10)));
        } else if (option == L"--spawn") {
            std::wstring line = L"\"" + std::wstring(path) + L"\" --sleep " + value;
            STARTUPINFOW startup{};
            startup.cb = sizeof startup;
            startup.dwFlags = STARTF_USESTDHANDLES;
            startup.hStdOutput = startup.hStdError = out;
            PROCESS_INFORMATION created{};
            if (::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                                 &startup, &created)) {
                ::CloseHandle(created.hThread);
                ::CloseHandle(created.hProcess);
            }
        } else if (option == L"--fill") {
            const std::string block(1 << 20, 'x');
            for (long count = std::wcstol(value.c_str(), nullptr, 10); count > 0; --count) write(out, block);
        } else if (option == L"--crash") {
            ::SetUnhandledExceptionFilter(&dieQuietly);
            int* volatile nowhere = nullptr;
            *nowhere = 1;
        } else if (option == L"--exit") {
            exitCode = static_cast<DWORD>(std::wcstoul(value.c_str(), nullptr, 0));
        }
    }
    return static_cast<int>(exitCode);
}
