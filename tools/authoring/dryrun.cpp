#include "tools/authoring/dryrun.h"

#include <msidefs.h>

#include <algorithm>
#include <array>
#include <string_view>

#include "engine/generation.h"
#include "engine/masking.h"
#include "engine/password.h"
#include "engine/stagerunner.h"
#include "runtime/errors/format.h"
#include "tools/authoring/package.h"

namespace {

// Standard actions that only look at the machine and the package: what an installation does before its
// scripts are made, without changing anything.
constexpr std::array<std::wstring_view, 12> lookingActions = {
    L"AppSearch",         L"CCPSearch",      L"RMCCPSearch", L"LaunchConditions",  L"FindRelatedProducts",
    L"ValidateProductID", L"CostInitialize", L"FileCost",    L"IsolateComponents", L"CostFinalize",
    L"MigrateFeatureStates", L"SetODBCFolders"};

// Shows the session's messages on the console as the installer's log and its message boxes would.
class ConsoleUi {
public:
    explicit ConsoleUi(MSIHANDLE install) : install_(install) {
        ::MsiSetExternalUIRecord(&ConsoleUi::handler,
                                 INSTALLLOGMODE_FATALEXIT | INSTALLLOGMODE_ERROR | INSTALLLOGMODE_WARNING |
                                     INSTALLLOGMODE_USER | INSTALLLOGMODE_INFO | INSTALLLOGMODE_ACTIONDATA,
                                 this, &previous_);
    }
    ~ConsoleUi() { ::MsiSetExternalUIRecord(previous_, 0, nullptr, nullptr); }
    ConsoleUi(const ConsoleUi&) = delete;
    ConsoleUi& operator=(const ConsoleUi&) = delete;

    // Log lines and action data while a stage runs; message boxes always.
    void showLog(bool on) { showLog_ = on; }

private:
    static int WINAPI handler(void* context, UINT type, MSIHANDLE record) {
        try {
            return static_cast<ConsoleUi*>(context)->show(type & 0xFF000000u, record);
        } catch (...) {
            return 0;  // left to the installer
        }
    }

    int show(UINT kind, MSIHANDLE record) {
        // Action data and the library's message boxes carry their text in field 1; other messages are their
        // template with the fields filled in.
        const std::wstring layout = msiRecordString(record, 0);
        const std::wstring text =
            layout.empty() || layout == L"[1]" ? msiRecordString(record, 1) : formatMsiRecord(install_, record);
        switch (kind) {
            case INSTALLMESSAGE_INFO:
                if (!showLog_ || text.starts_with(L"=== ")) return 0;
                writeOut(text + L"\n");
                lastLine_ = text;
                return IDOK;
            case INSTALLMESSAGE_ACTIONDATA:
                if (showLog_) writeOut(text + L"\n");
                return IDOK;
            default:
                // The library writes a box's text to the log just before it shows the box: print it once.
                if (!showLog_ || text != lastLine_)
                    writeOut((kind == INSTALLMESSAGE_WARNING ? L"warning: " : L"error: ") + text + L"\n");
                lastLine_.clear();
                return IDOK;
        }
    }

    MSIHANDLE install_;
    INSTALLUI_HANDLER_RECORD previous_ = nullptr;
    bool showLog_ = false;
    std::wstring lastLine_;
};

// Runs what an installation runs before the library makes its scripts, where that changes nothing: the
// looking standard actions, set-property and set-directory actions, and GetPassword. Other custom actions
// are named and left out. False when one of them fails.
bool runUpToScripts(const Package& package) {
    const MSIHANDLE install = package.install();
    std::map<std::wstring, CustomActionRow> actions;
    std::vector<SequenceEntry> entries;
    {
        vmsi session(install);
        actions = readCustomActions(session, package);
        entries = readExecuteSequence(session, package);
    }
    for (const SequenceEntry& entry : entries) {
        const auto found = actions.find(entry.action);
        const CustomActionRow* custom = found == actions.end() ? nullptr : &found->second;
        if (custom && custom->callsExport(L"PrepareTarvoCustomActions")) break;
        if (!entry.condition.empty() && ::MsiEvaluateConditionW(install, entry.condition.c_str()) != MSICONDITION_TRUE)
            continue;
        UINT result = ERROR_SUCCESS;
        if (custom == nullptr) {
            if (std::find(lookingActions.begin(), lookingActions.end(), entry.action) == lookingActions.end()) continue;
            result = ::MsiDoActionW(install, entry.action.c_str());
        } else if (custom->callsExport(L"GetPassword")) {
            result = runGetPassword(install);
        } else if (const int kind = custom->type & 0x3F;
                   (kind == (msidbCustomActionTypeTextData | msidbCustomActionTypeProperty) ||
                    kind == (msidbCustomActionTypeTextData | msidbCustomActionTypeDirectory)) &&
                   (custom->type & msidbCustomActionTypeInScript) == 0) {
            result = ::MsiDoActionW(install, entry.action.c_str());
        } else {
            writeErr(formatString(L"tarvoca: custom action %s (type %d) is not run in a dry run\n", entry.action,
                                  custom->type));
            continue;
        }
        if (result != ERROR_SUCCESS) {
            writeErr(formatString(L"tarvoca: %s failed: %s\n", entry.action, osErrorText(result, nullptr)));
            return false;
        }
    }
    return true;
}

}  // namespace

int dryRun(const std::wstring& path, const DryRunOptions& options) {
    const Stage* only = options.stage.empty() ? nullptr : stage::find(options.stage);
    Package package(path, true);
    const MSIHANDLE install = package.install();
    ConsoleUi ui(install);
    for (const auto& [name, value] : options.properties) vmsi(install).SetProperty(name, value);
    // The library's own custom action makes the scripts; its failure has been shown as its error message.
    if (!runUpToScripts(package) || runPrepareTarvoCustomActions(install) != ERROR_SUCCESS) return 1;

    for (const Stage& s : stage::all) {
        if (only && only != &s) continue;
        std::wstring script = maskSecrets(vmsi(install).GetProperty(s.scriptProperty));
        script.erase(script.find_last_not_of(L"\r\n") + 1);  // the document's own line end
        writeOut(formatString(L"== %s\n%s\n", std::wstring(s.scriptProperty), script));
    }
    if (!options.execute || only == nullptr) return 0;

    // A deferred stage reads its script from "CustomActionData", which the package's set-property action fills.
    if (only->kind != StageKind::immediate)
        vmsi(install).SetProperty(L"CustomActionData", vmsi(install).GetProperty(only->scriptProperty));
    writeOut(formatString(L"== %s: %s\n", std::wstring(only->entryPoint), std::wstring(only->title)));
    ui.showLog(true);
    const UINT result = runStage(install, *only);
    ui.showLog(false);
    writeOut(formatString(L"== %s returned %u\n", std::wstring(only->entryPoint), result));
    return result == ERROR_SUCCESS ? 0 : 1;
}
