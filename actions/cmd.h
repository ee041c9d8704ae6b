#pragma once
// "Cmd": runs one command line, copies everything it writes to standard output and standard error into the
// installer log line by line, and judges it by its exit code: 0 succeeds, 1703 and 3010 succeed and ask for a
// reboot, 1641 (the command initiated a restart) succeeds without asking for another, anything else fails with the command line, the code and the output. The command line is logged
// with its secrets masked; the command runs with the real values.
#include <windows.h>

#include <string>

#include "engine/action.h"
#include "engine/masking.h"
#include "runtime/errors/format.h"
#include "runtime/errors/vexception.h"

namespace Con {
class OverlappedPipe;
}

class CmdAction : public Action {
public:
    // The whole parameter string is the command line: no splitting, commas and quotes are part of it.
    CmdAction(std::wstring text, std::wstring commandLine);

    void execute(vmsi& session) override;
    void rollback(vmsi& session) override;

    const std::wstring& commandLine() const noexcept { return commandLine_; }

private:
    std::wstring commandLine_;
};

// What a command wrote, as far as its failure message shows it: the last bytes only, so that a command
// printing without end does not exhaust the process (a 32-bit one first).
struct CommandOutput {
    static constexpr size_t keptBytes = 16 * 1024 * 1024;
    std::string last;    // at most twice keptBytes while reading; keptBytes once complete
    bool cut = false;    // earlier bytes were dropped
    bool ended = true;   // false: a process the command started still held the pipe when reading stopped
    // From the ANSI code page, with a note when the start was dropped.
    std::wstring text() const;
};

// Logs "Output:", then reads `pipe` in blocks, while `process` runs and for a short grace once it has ended,
// and logs each non-empty line (ended by a carriage return or a line feed, from the ANSI code page) as one
// installer log line; a line longer than maxLineBytes is logged in pieces, split at a blank where one is near.
CommandOutput collectOutput(Con::OverlappedPipe& pipe, HANDLE process, vmsi& session);
constexpr size_t maxLineBytes = 16 * 1024;

// The warning, in the installer log, that `child` (its kind and masked command line) ended while a process it
// started still held its output pipe, which was then read no longer.
void warnOutputHeldOpen(vmsi& session, const std::wstring& child);

// The failure of a child program (the Cmd and PHP rows): `format` filled with the logged command line, the
// exit code as a signed number (an exception status shows as negative) and the collected outputs, each with
// its secrets masked, thrown with one frame naming `function`.
template <typename... Outputs>
[[noreturn]] void throwChildFailure(const char* function, const wchar_t* format, const std::wstring& logged,
                                    DWORD code, const Outputs&... outputs) {
    throw vexception(formatString(format, logged, static_cast<int>(code), maskSecrets(outputs)...),
                     errorFrame(L"", function));
}
