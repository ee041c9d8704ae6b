// tarvoca: the library's own rules for package authors.
//   tarvoca lint PACKAGE.msi [--format text|json]
//   tarvoca dry-run PACKAGE.msi [--set NAME=VALUE ...] [--stage NAME] [--execute]
//   tarvoca --help
// Options before or after the operands, "--name value" or "--name=value"; "--" ends them.
// Exit codes: 0 no errors (or --help), 1 errors found (lint) or the generation or the stage failed (dry-run),
// 2 the package cannot be read or the command line is wrong.
#include <windows.h>
#include <msi.h>
#include <objbase.h>

#include <algorithm>
#include <iterator>
#include <utility>
#include <vector>

#include "engine/stages.h"
#include "runtime/errors/codepage.h"
#include "runtime/errors/format.h"
#include "runtime/logging/logmanager.h"
#include "tools/authoring/dryrun.h"
#include "tools/authoring/lint.h"
#include "tools/authoring/package.h"

namespace {

constexpr const wchar_t* usage =
    L"usage: tarvoca lint PACKAGE.msi [--format text|json]\n"
    L"       tarvoca dry-run PACKAGE.msi [--set NAME=VALUE ...] [--stage NAME] [--execute]\n"
    L"       tarvoca --help\n"
    L"Options go before or after the operands, as --name value or --name=value; -- ends the options.\n";

struct UsageError {
    std::wstring text;
};

// The command line with its options taken out, in the order given.
struct CommandLine {
    std::vector<std::wstring> operands;
    std::vector<std::pair<std::wstring, std::wstring>> options;  // name with its dashes, value
    bool help = false;
};

CommandLine parse(const std::vector<std::wstring>& arguments) {
    static const std::wstring valued[] = {L"--format", L"--set", L"--stage"};
    static const std::wstring flags[] = {L"--execute", L"--help"};
    CommandLine line;
    bool optionsEnded = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::wstring& argument = arguments[i];
        if (optionsEnded || !argument.starts_with(L"--")) {
            line.operands.push_back(argument);
            continue;
        }
        if (argument == L"--") {
            optionsEnded = true;
            continue;
        }
        const size_t equals = argument.find(L'=');
        const std::wstring name = argument.substr(0, equals);
        if (std::find(std::begin(valued), std::end(valued), name) != std::end(valued)) {
            if (equals != std::wstring::npos)
                line.options.emplace_back(name, argument.substr(equals + 1));
            else if (i + 1 < arguments.size())
                line.options.emplace_back(name, arguments[++i]);
            else
                throw UsageError{name + L" needs a value"};
        } else if (std::find(std::begin(flags), std::end(flags), name) != std::end(flags)) {
            if (equals != std::wstring::npos) throw UsageError{name + L" takes no value"};
            if (name == L"--help")
                line.help = true;
            else
                line.options.emplace_back(name, L"");
        } else {
            throw UsageError{L"unknown option " + name};
        }
    }
    return line;
}

int lint(const std::wstring& path, const CommandLine& line) {
    bool json = false;
    for (const auto& [name, value] : line.options) {
        if (name != L"--format") throw UsageError{L"lint takes no " + name};
        if (value != L"text" && value != L"json") throw UsageError{L"unknown format " + value};
        json = value == L"json";
    }
    const Package package(path, false);
    const std::vector<Finding> findings = lintPackage(package);
    writeOut(json ? findingsAsJson(path, findings) : findingsAsText(path, findings));
    return std::any_of(findings.begin(), findings.end(), [](const Finding& f) { return f.error; }) ? 1 : 0;
}

int dryRun(const std::wstring& path, const CommandLine& line) {
    DryRunOptions parsed;
    for (const auto& [name, value] : line.options) {
        if (name == L"--execute") {
            parsed.execute = true;
        } else if (name == L"--stage") {
            if (!stage::find(value)) throw UsageError{L"unknown stage " + value};
            parsed.stage = value;
        } else if (name != L"--set") {
            throw UsageError{L"dry-run takes no " + name};
        } else if (const size_t equals = value.find(L'='); equals != 0 && equals != std::wstring::npos) {
            parsed.properties.emplace_back(value.substr(0, equals), value.substr(equals + 1));
        } else {
            throw UsageError{L"--set takes NAME=VALUE, not " + value};
        }
    }
    if (parsed.execute && parsed.stage.empty()) throw UsageError{L"--execute runs one stage: name it with --stage"};
    return ::dryRun(path, parsed);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);  // the scripts are MSXML documents
    ::MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);     // as a silent installation: no dialogs
    // The library's defaults (the event log among them) as in the DLL, but the installer messages are the
    // console output: the library's own console copy would repeat them.
    LogManager::defaultSource();
    for (int level = 0; level < LogManager::levelCount; ++level)
        LogManager::instance().setConsoleFlag(static_cast<LogLevel>(level), false);
    int result = 2;
    try {
        const CommandLine line = parse(std::vector<std::wstring>(argv + 1, argv + argc));
        if (line.help) {
            writeOut(usage);
            result = 0;
        } else {
            if (line.operands.size() < 2) throw UsageError{};
            if (line.operands.size() > 2) throw UsageError{L"unexpected " + line.operands[2]};
            const std::wstring& command = line.operands[0];
            if (command == L"lint")
                result = lint(line.operands[1], line);
            else if (command == L"dry-run")
                result = dryRun(line.operands[1], line);
            else
                throw UsageError{L"unknown command " + command};
        }
    } catch (const UsageError& e) {
        writeErr((e.text.empty() ? L"" : L"tarvoca: " + e.text + L"\n") + usage);
    } catch (const UnreadablePackage& e) {
        writeErr(L"tarvoca: " + e.message() + L"\n");
    } catch (const vexception& e) {
        writeErr(L"tarvoca: " + e.toString() + L"\n");
    } catch (const std::exception& e) {
        writeErr(L"tarvoca: " + wstr(e.what()) + L"\n");
    }
    ::CoUninitialize();
    return result;
}
