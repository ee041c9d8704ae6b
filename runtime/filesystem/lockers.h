#pragma once
// The processes that hold a file: named in every sharing failure of the file operations, so that the
// installer log tells the administrator what to stop. The search walks the system's handle table and is
// diagnostic only: whatever fails inside it is logged and skipped, and at worst it finds nothing.
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace RunTime {

// "PID(%d) '%s'" (process id, command line) for every other process with an open handle on one of `paths`
// or on something below one of them; sorted, each process once. The calling process is never listed.
std::vector<std::wstring> getProccessesByOpenedFiles(const std::vector<std::wstring>& paths);
std::vector<std::wstring> processesHoldingFile(const std::wstring& path);

// The path (without "\\?\") of a file handle of this process, resolved on a worker thread with a time
// limit; empty when it is no disk file or cannot be resolved in time. A handle whose resolution had to be
// abandoned is left to the stuck system call: the caller must not close it then (`abandoned` tells).
std::wstring GetFilePathByHandle(HANDLE handle, bool* abandoned = nullptr);

// The command line of a process opened with PROCESS_QUERY_INFORMATION and PROCESS_VM_READ, read from its
// process parameters (either width); throws when it cannot be read.
std::wstring processCommandLine(HANDLE process);

}  // namespace RunTime

namespace lockers_detail {

struct Limits {
    DWORD handleMs = 2000;      // one handle's path resolution
    DWORD cancelGraceMs = 500;  // after its blocked call was cancelled
    DWORD searchMs = 15000;     // the whole search
};
// Replaces the limits (tests); returns the previous ones.
Limits setLimits(const Limits& limits);

// What the worker thread does with one handle; throws when the handle has no disk path.
using Resolver = std::function<std::wstring(HANDLE)>;
// The system's resolution: GetFinalPathNameByHandleW, and the object name where that fails.
std::wstring resolveDiskPath(HANDLE handle);
// Replaces the worker's resolution (tests make it block); returns the previous one.
Resolver setResolver(Resolver resolver);

// Reads the handle table in the legacy form (16-bit handle values and process ids) even where the system
// offers the extended one (tests).
void forceLegacyHandleTable(bool on);

}  // namespace lockers_detail
