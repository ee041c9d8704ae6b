#pragma once
// Running other programs: one child process described by a vexecutil (its command, standard-handle
// redirections, working directory, environment and desktop), started, waited for and judged by its exit
// code; the reading of a child's two output pipes at once; the exit code of a process started elsewhere.
//
//   vexecutil child;
//   child.command = L"cmd.exe /c dir";        // a whole command line, since `arguments` is empty
//   child.noWindow = true;
//   child.stdoutToPipe = child.stderrToStdout = true;
//   child.start();
//   ... read child.stdoutPipe until it is finished ...
//   child.waitForExit(INFINITE);
//   DWORD code = child.exitCode();
//
// start() runs the child under the calling thread's impersonation token when that token differs from the
// process token in membership of the Administrators group (after granting the token's group full access to
// the interactive window station and desktop); otherwise with the process's own token.
#include <windows.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "runtime/holder.h"
#include "runtime/process/pipeoutput.h"
#include "runtime/security/security.h"
#include "srvclient/pipes.h"

class vexecutil {
public:
    vexecutil() = default;
    vexecutil(const vexecutil&) = delete;
    vexecutil& operator=(const vexecutil&) = delete;
    // Closes the process and thread handles, then the pipe ends (stderr, stdout, stdin). The child runs on.
    ~vexecutil();

    // Program path, or the whole command line when `arguments` is empty.
    std::wstring command;
    // Without a console window.
    bool noWindow = false;
    // The child's environment block (ProcessEnvironment::block()); none: the caller's.
    std::optional<std::wstring> environment;
    // Appended after the quoted command.
    std::wstring arguments;
    // Standard error into a pipe of its own (stderrPipe).
    bool stderrToPipe = false;
    // Standard error to wherever standard output goes (unless stderrToPipe).
    bool stderrToStdout = false;
    // Standard input from a pipe whose writing end is stdinPipe.
    bool stdinFromPipe = false;
    // Standard output into a pipe whose reading end is stdoutPipe.
    bool stdoutToPipe = false;
    // The caller's standard handles handed down even when nothing else is redirected.
    bool inheritStdHandles = false;
    // Where the child starts; empty: the caller's current directory. The caller's own stays as it is.
    std::wstring workingDirectory;
    // A file as standard input (opened for reading) or output (created anew).
    std::wstring stdinFile;
    std::wstring stdoutFile;
    // The caller's desktop instead of "winsta0\default".
    bool keepDesktop = false;
    bool suspended = false;
    // The reading ends kept here are overlapped (Con::OverlappedPipe: reads with a time limit or a cancel event).
    bool overlappedPipes = true;

    // This side's pipe ends, once started: stdin a plain writing end, stdout and stderr reading ends.
    std::unique_ptr<Con::Pipe> stdinPipe;
    std::unique_ptr<Con::Pipe> stdoutPipe;
    std::unique_ptr<Con::Pipe> stderrPipe;

    tarvo::unique_handle thread;
    tarvo::unique_handle process;
    DWORD processId = 0;
    DWORD threadId = 0;

    // What start() hands to the process creation: the quoted command, a blank and the arguments, or the
    // command alone.
    std::wstring commandLine() const;
    // Creates the process; failures name the command line ("CreateProcess '...'"). With redirection the child
    // inherits its standard handles only (where the system can say so), none of the caller's other handles.
    void start();
    // True when the process ended within `milliseconds` (INFINITE: no limit); alertable and cancellable.
    bool waitForExit(DWORD milliseconds);
    // The exit code, without waiting (STILL_ACTIVE, 259, while it runs).
    DWORD exitCode();
};

namespace VProcess {
// Waits for the process to end (no limit), then returns its exit code.
DWORD getExitCode(HANDLE process);
}  // namespace VProcess

// How long a child's pipes are still read once the child has ended. What it wrote is in the pipe by then; only
// a process it started, which inherited the pipe, can keep it open longer (a daemon: for ever).
constexpr DWORD childOutputGraceMs = 2000;

// Reads a child's standard output and standard error at once until both pipes are finished, `cancelEvent`
// is set or `timeoutMs` passed (INFINITE: no limit), or `process` (when given) has ended and
// childOutputGraceMs more have passed. Bytes arriving while the two texts together hold fewer than
// `outputLimit` bytes are appended to their text and handed to `handler` (with the text, the pipe's own read
// position, and false); later ones are read and dropped. When a pipe finishes with an unfinished last line,
// the handler gets it with the flag set. A null pipe counts as finished. True when both pipes finished.
bool readProcessOutput(std::string& stdoutText, std::string& stderrText, Con::OverlappedPipe* stdoutPipe,
                       Con::OverlappedPipe* stderrPipe, HANDLE cancelEvent, DWORD timeoutMs, size_t outputLimit,
                       IPipeMessageHandler* handler, HANDLE process = nullptr);

// Reads `pipe` block by block into `sink` until it is finished, waiting for output and for `process` to end
// together; once it has ended, for at most childOutputGraceMs more. False when the reading stopped with the
// pipe still open.
bool readChildOutput(Con::OverlappedPipe& pipe, HANDLE process, char* buffer, DWORD size,
                     const std::function<void(const char*, DWORD)>& sink);

namespace process_detail {
// The entries of a window station's or desktop's DACL (`dacl`, empty for a null DACL) that also give `sid`
// `access`: an allowing entry after the object's own denials. Nothing when the DACL grants it already.
std::optional<std::vector<security::AclEntry>> entriesGranting(const std::vector<DWORD>& dacl, const VSID& sid,
                                                               ACCESS_MASK access);
// The group whose members get the access: Administrators, else Users, else Guests, else Users.
VSID desktopGroup(HANDLE token);
// Gives `group` full access to the window station "winsta0" and its desktop "default" unless their DACLs
// grant it already (logged at level Info with the SID).
void grantDesktopAccess(const VSID& group);
}  // namespace process_detail
