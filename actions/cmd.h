#pragma once
// "Cmd": runs one command line, copies everything it writes to standard output and standard error into the
// installer log line by line, and judges it by its exit code: 0 succeeds, 1703 and 3010 succeed and ask for a
// reboot, anything else fails with the command line, the code and the output. The command line is logged
// with its secrets masked; the command runs with the real values.
#include <string>

#include "engine/action.h"
#include "engine/masking.h"
#include "runtime/errors/format.h"
#include "runtime/errors/vexception.h"

namespace Con {
class Pipe;
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

// Logs "Output:", then reads `pipe` in blocks until it is finished and logs each non-empty line (ended by a
// carriage return or a line feed, from the ANSI code page) as one installer log line. Returns everything read,
// line breaks included.
std::wstring collectOutput(Con::Pipe& pipe, vmsi& session);

// The failure of a child program (the Cmd and PHP rows): `format` filled with the logged command line, the
// exit code as a signed number (an exception status shows as negative) and the collected outputs, each with
// its secrets masked, thrown with one frame naming `function`.
template <typename... Outputs>
[[noreturn]] void throwChildFailure(const char* function, const wchar_t* format, const std::wstring& logged,
                                    DWORD code, const Outputs&... outputs) {
    throw vexception(formatString(format, logged, static_cast<int>(code), maskSecrets(outputs)...),
                     errorFrame(L"", function));
}
