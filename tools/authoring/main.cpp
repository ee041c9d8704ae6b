// tarvoca: the library's own rules for package authors.
//   tarvoca lint PACKAGE.msi [--format text|json]
//   tarvoca dry-run PACKAGE.msi [--set NAME=VALUE ...] [--stage NAME] [--execute]
// Exit codes: 0 no errors, 1 errors found (lint) or the generation or the stage failed (dry-run), 2 the
// package cannot be read or the command line is wrong.
#include <windows.h>
#include <msi.h>
#include <objbase.h>

#include <algorithm>

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
    L"       tarvoca dry-run PACKAGE.msi [--set NAME=VALUE ...] [--stage NAME] [--execute]\n";

struct UsageError {
    std::wstring text;
};

int lint(const std::wstring& path, const std::vector<std::wstring>& options) {
    bool json = false;
    for (size_t i = 0; i < options.size(); ++i) {
        if (options[i] != L"--format" || i + 1 == options.size()) throw UsageError{L"unexpected " + options[i]};
        const std::wstring& format = options[++i];
        if (format != L"text" && format != L"json") throw UsageError{L"unknown format " + format};
        json = format == L"json";
    }
    const Package package(path, false);
    const std::vector<Finding> findings = lintPackage(package);
    writeOut(json ? findingsAsJson(path, findings) : findingsAsText(path, findings));
    return std::any_of(findings.begin(), findings.end(), [](const Finding& f) { return f.error; }) ? 1 : 0;
}

int dryRun(const std::wstring& path, const std::vector<std::wstring>& options) {
    DryRunOptions parsed;
    for (size_t i = 0; i < options.size(); ++i) {
        const std::wstring& option = options[i];
        if (option == L"--execute") {
            parsed.execute = true;
        } else if ((option == L"--set" || option == L"--stage") && i + 1 < options.size()) {
            const std::wstring& value = options[++i];
            if (option == L"--stage") {
                if (!stage::find(value)) throw UsageError{L"unknown stage " + value};
                parsed.stage = value;
            } else if (const size_t equals = value.find(L'='); equals != 0 && equals != std::wstring::npos) {
                parsed.properties.emplace_back(value.substr(0, equals), value.substr(equals + 1));
            } else {
                throw UsageError{L"--set takes NAME=VALUE, not " + value};
            }
        } else {
            throw UsageError{L"unexpected " + option};
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
        if (argc < 3) throw UsageError{};
        const std::wstring command = argv[1], path = argv[2];
        const std::vector<std::wstring> options(argv + 3, argv + argc);
        if (command == L"lint")
            result = lint(path, options);
        else if (command == L"dry-run")
            result = dryRun(path, options);
        else
            throw UsageError{L"unknown command " + command};
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
