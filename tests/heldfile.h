#pragma once
// A helper process (tarvo_holdfile) that holds files open until the object goes or release() is called.
#include <windows.h>

#include <string>
#include <vector>

#include "runtime/errors/format.h"
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
        if (!child_.start(program, commandLine_)) {
            status_ = "not started";
            return;
        }
        // "ready" or "failed ..." on the first line.
        char c = 0;
        DWORD got = 0;
        while (::ReadFile(child_.output.get(), &c, 1, &got, nullptr) && got == 1 && c != '\n')
            if (c != '\r') status_ += c;
        child_.output.reset();
    }
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;
    ~HeldFile() { release(); }

    // Lets the files go: the helper closes them and ends.
    void release() {
        child_.input.reset();
        if (child_.process && ::WaitForSingleObject(child_.process.get(), 10000) != WAIT_OBJECT_0)
            ::TerminateProcess(child_.process.get(), 1);
        child_.process.reset();
    }
    bool ready() const { return status_ == "ready"; }
    const std::string& status() const { return status_; }
    DWORD pid() const { return child_.pid; }
    const std::wstring& commandLine() const { return commandLine_; }
    // The entry the process search makes for it.
    std::wstring listed() const { return formatString(L"PID(%d) '%s'", static_cast<int>(child_.pid), commandLine_); }

private:
    PipedChild child_;
    std::wstring commandLine_;
    std::string status_;
};
