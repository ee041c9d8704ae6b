#pragma once
// A helper process (tarvo_holdfile) that holds files open until the object goes or release() is called.
#include <windows.h>

#include <string>
#include <vector>

#include "runtime/errors/format.h"
#include "runtime/holder.h"
#include "tests/testutil.h"

// The helper of this build, or of the build for the other processor width (ask otherWidthSkipReason() first).
inline std::wstring holdFileProgram(bool otherWidth = false) {
    if (!otherWidth) return programFolder() + L"\\tarvo_holdfile.exe";
    return programFolder() + (sizeof(void*) == 8 ? L"\\..\\..\\x86\\bin\\tarvo_holdfile.exe"
                                                 : L"\\..\\..\\x64\\bin\\tarvo_holdfile.exe");
}

class HeldFile {
public:
    // `share`: letters r, w, d or "-"; a path given twice is opened twice.
    HeldFile(const std::wstring& share, const std::vector<std::wstring>& paths,
             const std::wstring& program = holdFileProgram()) {
        commandLine_ = L"\"" + program + L"\" " + share;
        for (const std::wstring& path : paths) commandLine_ += L" \"" + path + L"\"";
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE inputRead = nullptr, outputWrite = nullptr, input = nullptr, output = nullptr;
        ::CreatePipe(&inputRead, &input, &inherit, 0);
        ::CreatePipe(&output, &outputWrite, &inherit, 0);
        input_.reset(input);
        tarvo::unique_handle childInput(inputRead), childOutput(outputWrite);
        const tarvo::unique_handle outputRead(output);
        ::SetHandleInformation(input, HANDLE_FLAG_INHERIT, 0);
        ::SetHandleInformation(output, HANDLE_FLAG_INHERIT, 0);
        PROCESS_INFORMATION started{};
        const bool created = startProcess(program, commandLine_, inputRead, outputWrite, started);
        // Only the child keeps its ends: a helper that ends early ends the read below.
        childInput.reset();
        childOutput.reset();
        if (!created) {
            status_ = "not started";
            return;
        }
        process_.reset(started.hProcess);
        ::CloseHandle(started.hThread);
        pid_ = started.dwProcessId;
        // "ready" or "failed ..." on the first line.
        char c = 0;
        DWORD got = 0;
        status_.clear();
        while (::ReadFile(outputRead.get(), &c, 1, &got, nullptr) && got == 1 && c != '\n')
            if (c != '\r') status_ += c;
    }
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;
    ~HeldFile() { release(); }

    // Lets the files go: the helper closes them and ends.
    void release() {
        input_.reset();
        if (process_ && ::WaitForSingleObject(process_.get(), 10000) != WAIT_OBJECT_0) ::TerminateProcess(process_.get(), 1);
        process_.reset();
    }
    bool ready() const { return status_ == "ready"; }
    const std::string& status() const { return status_; }
    DWORD pid() const { return pid_; }
    const std::wstring& commandLine() const { return commandLine_; }
    // The entry the process search makes for it.
    std::wstring listed() const { return formatString(L"PID(%d) '%s'", static_cast<int>(pid_), commandLine_); }

private:
    tarvo::unique_handle input_;
    tarvo::unique_handle process_;
    DWORD pid_ = 0;
    std::wstring commandLine_;
    std::string status_;
};
