#pragma once
// One daily UTF-16 log file under the product root's "admin\logs", shared by every process of the
// session through a named mutex.
#include <windows.h>

#include <memory>
#include <string>

class VMutex;

class LogFile {
public:
    // An empty name stands for the executable's file name. Throws when the product root is unknown.
    LogFile(std::wstring name, DWORD defaultEnabled);
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;
    ~LogFile();

    bool enabled() const noexcept { return enabled_ != 0; }
    const std::wstring& directory() const noexcept { return directory_; }
    // "tarvolog_" + name + local date + ".log"
    std::wstring currentPath() const;
    // Appends the stamped line (time, process and thread ids) with CR LF; a new file starts with a BOM.
    void write(const std::wstring& line);

private:
    std::wstring pathFor(const SYSTEMTIME& day) const;

    std::wstring name_;
    DWORD enabled_;
    std::wstring directory_;
    VMutex* mutex_ = nullptr;  // shared by every object of the same name in the process
    std::wstring writtenPath_;  // the file the last line went to, guarded by the mutex
};

// The file name of the running executable ("msiexec.exe").
std::wstring executableFileName();
