#include "actions/cmd.h"

#include <memory>

#include "engine/masking.h"
#include "engine/reboot.h"
#include "msi/vmsi.h"
#include "runtime/errors/codepage.h"
#include "runtime/process/vexecutil.h"

namespace {
// The pipe holds a few KiB at a time; a large block lets one read take whatever has arrived.
constexpr DWORD outputBlock = 64 * 1024;
}  // namespace

CmdAction::CmdAction(std::wstring text, std::wstring commandLine)
    : Action(std::move(text)), commandLine_(std::move(commandLine)) {}

// What a command did cannot be told, let alone taken back.
void CmdAction::rollback(vmsi& session) {
    session.log(L"Rollback: the command %s is not undone", maskCommandLine(commandLine_));
}

void CmdAction::execute(vmsi& session) {
    vexecutil child;
    child.command = commandLine_;
    child.noWindow = true;
    child.stdoutToPipe = true;
    child.stderrToStdout = true;
    const std::wstring logged = maskCommandLine(commandLine_);
    session.log(L"Execute %s %s", child.arguments, logged);
    child.start();
    const std::wstring output = collectOutput(*child.stdoutPipe, session);
    child.waitForExit(INFINITE);
    const DWORD code = child.exitCode();
    if (code == 0) return;
    if (code == 1703 || code == ERROR_SUCCESS_REBOOT_REQUIRED) {
        requestReboot(session);
        session.log(L"Action '%s' request a reboot", getText());
        return;
    }
    throwChildFailure("CmdAction::Commit", L"Command %s failed with code %d. Output: %s\n", logged, code, output);
}

std::wstring collectOutput(Con::Pipe& pipe, vmsi& session) {
    session.logMessage(L"Output:");
    const auto buffer = std::make_unique<char[]>(outputBlock);
    std::string whole;
    std::string line;
    const auto endLine = [&] {
        if (line.empty()) return;  // CR LF pairs and blank lines log nothing
        const std::wstring text = wstr(line);
        session.logMessage(text);
        session.outputAdvance(text);
        line.clear();
    };
    while (!pipe.finished()) {
        const DWORD count = pipe.read(buffer.get(), outputBlock, false);
        const char* bytes = buffer.get();
        whole.append(bytes, count);
        DWORD start = 0;
        for (DWORD i = 0; i < count; ++i) {
            if (bytes[i] != '\r' && bytes[i] != '\n') continue;
            line.append(bytes + start, i - start);
            endLine();
            start = i + 1;
        }
        line.append(bytes + start, count - start);
    }
    endLine();
    return wstr(whole);
}
