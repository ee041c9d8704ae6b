// Lines per second of a command's output captured by the Cmd action into a real installer session, against
// a raw path in the same run: the same child through an anonymous pipe read in 64 KiB blocks and one
// MsiProcessMessage per line. tarvo_cmdbench [LINES] [ROUNDS]
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>

#include "actions/cmd.h"
#include "msi/vmsi.h"
#include "runtime/holder.h"
#include "runtime/process/command.h"
#include "tests/msisession.h"
#include "tests/testutil.h"

namespace {

double now() {
    LARGE_INTEGER counter, frequency;
    ::QueryPerformanceCounter(&counter);
    ::QueryPerformanceFrequency(&frequency);
    return double(counter.QuadPart) / double(frequency.QuadPart);
}

std::wstring childCommand(long lines) {
    return quoteArgument(programFolder() + L"\\tarvo_child.exe") + L" --lines " + std::to_wstring(lines);
}

void sendLine(MSIHANDLE install, const std::string& line) {
    const int size = ::MultiByteToWideChar(CP_ACP, 0, line.data(), static_cast<int>(line.size()), nullptr, 0);
    std::wstring text(static_cast<size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, line.data(), static_cast<int>(line.size()), text.data(), size);
    const MSIHANDLE record = ::MsiCreateRecord(1);
    ::MsiRecordSetStringW(record, 0, text.c_str());
    ::MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
    ::MsiCloseHandle(record);
}

// The same work without the library: the child's output through an anonymous pipe, one message per line.
size_t rawPath(MSIHANDLE install, const std::wstring& command) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE read = nullptr, write = nullptr;
    ::CreatePipe(&read, &write, &inherit, 0);
    tarvo::unique_handle reader(read), writer(write);
    ::SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = write;
    PROCESS_INFORMATION process{};
    std::wstring line = command;
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                          &process))
        return 0;
    tarvo::unique_handle processHandle(process.hProcess), threadHandle(process.hThread);
    writer.reset();
    std::string buffer(64 * 1024, '\0'), current;
    size_t lines = 0;
    DWORD count = 0;
    while (::ReadFile(read, buffer.data(), static_cast<DWORD>(buffer.size()), &count, nullptr) && count > 0) {
        for (DWORD i = 0; i < count; ++i) {
            const char c = buffer[i];
            if (c != '\r' && c != '\n') {
                current += c;
            } else if (!current.empty()) {
                sendLine(install, current);
                current.clear();
                ++lines;
            }
        }
    }
    if (!current.empty()) {
        sendLine(install, current);
        ++lines;
    }
    ::WaitForSingleObject(process.hProcess, INFINITE);
    return lines;
}

size_t logged(const MsiSession& package) { return package.texts(kInfo).size(); }

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const long lines = argc > 1 ? std::wcstol(argv[1], nullptr, 10) : 50000;
    const int rounds = argc > 2 ? static_cast<int>(std::wcstol(argv[2], nullptr, 10)) : 2;
    const std::wstring command = childCommand(lines);
    MsiSession package;
    double bestAction = 0, bestRaw = 0;
    for (int round = 0; round < rounds; ++round) {
        package.clearMessages();
        double start = now();
        const size_t rawLines = rawPath(package.handle(), command);
        const double raw = double(rawLines) / (now() - start);
        const size_t rawLogged = logged(package);

        package.clearMessages();
        start = now();
        {
            vmsi session(package.handle());
            CmdAction action(L"Benchmark", command);
            action.execute(session);
        }
        const double action = double(lines) / (now() - start);
        // The action also logs its "Execute" and "Output:" lines.
        const size_t actionLogged = logged(package) - 2;
        std::printf("round %d: raw %zu lines logged, %.0f lines/s; Cmd action %zu lines logged, %.0f lines/s\n", round + 1,
                    rawLogged, raw, actionLogged, action);
        if (rawLogged != size_t(lines) || actionLogged != size_t(lines)) {
            std::printf("line counts differ from the %ld lines written\n", lines);
            return 1;
        }
        bestRaw = std::max(bestRaw, raw);
        bestAction = std::max(bestAction, action);
    }
    std::printf("Cmd action output: %.0f lines/s, raw pipe and MsiProcessMessage: %.0f lines/s, ratio %.2f (goal >= 0.5)\n",
                bestAction, bestRaw, bestAction / bestRaw);
    std::printf("ratio cmdcapture %.2f\n", bestAction / bestRaw);  // rates: higher is better
    return 0;
}
