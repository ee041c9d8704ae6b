#include "actions/cmd.h"

#include <algorithm>
#include <memory>

#include "engine/masking.h"
#include "engine/reboot.h"
#include "msi/vmsi.h"
#include "runtime/errors/codepage.h"
#include "runtime/logging/logmanager.h"
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
    const CommandOutput output =
        collectOutput(dynamic_cast<Con::OverlappedPipe&>(*child.stdoutPipe), child.process.get(), session);
    if (!output.ended) warnOutputHeldOpen(session, L"The command " + logged);
    child.waitForExit(INFINITE);
    const DWORD code = child.exitCode();
    if (code == 0) return;
    if (code == ERROR_SUCCESS_REBOOT_INITIATED) {
        // The command has started the restart itself: scheduling another would only ask the user twice.
        session.log(L"Action '%s': the command initiated a restart (exit code 1641)", getText());
        return;
    }
    if (code == 1703 || code == ERROR_SUCCESS_REBOOT_REQUIRED) {
        // Logged first, so that what the request adds to the log is not read as the command's output.
        session.log(L"Action '%s' request a reboot", getText());
        requestReboot(session);
        return;
    }
    throwChildFailure("CmdAction::Commit", L"Command %s failed with code %d. Output: %s\n", logged, code, output.text());
}

void warnOutputHeldOpen(vmsi& session, const std::wstring& child) {
    const std::wstring warning =
        child + L" has ended, but a process it started still holds its output open: the rest of that output is not read";
    session.warnInLog(warning);
}

std::wstring CommandOutput::text() const {
    if (!cut) return wstr(last);
    return formatString(L"(the first bytes are left out; the last %d MiB follow)\n", static_cast<int>(keptBytes >> 20)) +
           wstr(last);
}

CommandOutput collectOutput(Con::OverlappedPipe& pipe, HANDLE process, vmsi& session) {
    session.logMessage(L"Output:");
    const auto buffer = std::make_unique<char[]>(outputBlock);
    CommandOutput result;
    std::string line;
    // Set when a piece ended inside a word that names a secret: the word's rest, at the start of the next
    // piece, is masked too, since nothing there marks it as a secret.
    bool secretContinues = false;
    const auto logLine = [&](size_t length) {
        std::string piece = line.substr(0, length);
        if (secretContinues) piece = "*" + piece.substr(std::min(piece.find_first_of(" \t\"'"), piece.size()));
        const std::wstring text = wstr(piece);
        session.logMessage(text);
        session.outputAdvance(text);
        line.erase(0, length);
    };
    const auto endLine = [&] {
        if (!line.empty()) logLine(line.size());  // CR LF pairs and blank lines log nothing
        secretContinues = false;
    };
    // A piece ends after the last blank of its second half, so that a secret is rarely cut in two; a line
    // without blanks is cut where it must be.
    const auto logPieces = [&] {
        while (line.size() >= maxLineBytes) {
            const size_t blank = line.find_last_of(" \t", maxLineBytes - 1);
            if (blank != std::string::npos && blank >= maxLineBytes / 2) {
                logLine(blank + 1);
                secretContinues = false;
                continue;
            }
            const size_t wordStart = blank == std::string::npos ? 0 : blank + 1;
            const bool secretWord =
                secretContinues || isSecretKey(wstr(line.substr(wordStart, maxLineBytes - wordStart)));
            logLine(maxLineBytes);
            secretContinues = secretWord;
        }
    };
    result.ended = readChildOutput(pipe, process, buffer.get(), outputBlock, [&](const char* bytes, DWORD count) {
        result.last.append(bytes, count);
        // Trimmed in large steps, each byte is moved about once.
        if (result.last.size() >= 2 * CommandOutput::keptBytes) {
            result.last.erase(0, result.last.size() - CommandOutput::keptBytes);
            result.cut = true;
        }
        DWORD start = 0;
        for (DWORD i = 0; i < count; ++i) {
            if (bytes[i] != '\r' && bytes[i] != '\n') continue;
            line.append(bytes + start, i - start);
            logPieces();
            endLine();
            start = i + 1;
        }
        line.append(bytes + start, count - start);
        logPieces();
    });
    endLine();
    if (result.last.size() > CommandOutput::keptBytes) {
        result.last.erase(0, result.last.size() - CommandOutput::keptBytes);
        result.cut = true;
    }
    return result;
}
