#include "engine/stagerunner.h"

#include "engine/executor.h"
#include "engine/frame.h"
#include "engine/reboot.h"
#include "engine/scriptreader.h"
#include "engine/undo.h"
#include "msi/vxml.h"
#include "runtime/filesystem/fileops.h"

namespace {

// Why a stage found no script, in the terms of the package that schedules it.
std::wstring emptyScript(vmsi& session, const std::wstring& title, const std::wstring& property) {
    const Stage* found = nullptr;
    for (const Stage& s : stage::all)
        if (title == s.title) found = &s;
    std::wstring cause = L"PrepareTarvoCustomActions did not run before it in the same sequence, or failed";
    if (found && found->kind != StageKind::immediate) {
        const bool commit = found->kind == StageKind::commit;
        cause = session.isDeferred()
                    ? formatString(L"no set-property action scheduled before %s set the property %s to [%s]",
                                   std::wstring(found->entryPoint), std::wstring(found->entryPoint),
                                   std::wstring(found->scriptProperty))
                    : formatString(L"%s runs as an immediate action, which gets no CustomActionData: its custom "
                                   L"action type must make it a %s action (%d; wixl writes an immediate one, so "
                                   L"set the type after wixl with msibuild)",
                                   std::wstring(found->entryPoint), std::wstring(commit ? L"commit" : L"deferred"),
                                   commit ? 3585 : 3073);
    }
    return formatString(L"The stage '%s' found no script in the property %s: %s", title, property, cause);
}

}  // namespace

UINT _ExecuteActionScript(MSIHANDLE install, const std::wstring& stageTitle, const std::wstring& propertyName) {
    const auto frameText = [&] { return formatString(L"%s ", stageTitle); };
    return runCustomAction(install, "_ExecuteActionScript", frameText, [&](vmsi& session) {
        // Deferred actions cannot schedule a reboot themselves: the immediate stages do it for them.
        scheduleRecordedReboot(session);
        const std::wstring script = session.GetProperty(propertyName);
        // The only place the script is logged: masked, as the session masks every line it writes.
        session.log(L"%s: %s = %s", stageTitle, propertyName, script);
        if (script.empty())
            throw vexception(emptyScript(session, stageTitle, propertyName), errorFrame(L"", "_ExecuteActionScript"));
        const XmlDocument document = [&] {
            try {
                return vxmlLoadXML(script);
            } catch (const vexception& e) {
                vexception told(formatString(L"The property %s of the stage '%s' holds no action script (only "
                                             L"PrepareTarvoCustomActions writes one): %s",
                                             propertyName, stageTitle, e.message()));
                for (const ErrorFrame& frame : e.frames()) told.addFrame(frame);
                throw told;
            }
        }();
        const XmlElement root = documentElement(document.get());
        const int uiLevel = _wtoi(getAttribute(root.get(), L"uilevel", L"").c_str());
        ActionList actions;
        readActionList(document.get(), actions);
        // A stage that the package pairs with the rollback and commit actions leaves its undo journal to them;
        // any other keeps its rollback to itself (executeList gives it a journal of its own).
        const std::wstring installationJournal = getAttribute(root.get(), L"undo", L"");
        if (installationJournal.empty() || !UndoJournal::isRunFolder(installationJournal))
            return executeList(session, uiLevel, actions, stageTitle);
        UndoJournal journal(installationJournal);
        journal.removeEarlierRuns(session);
        UndoJournal::Scope scope(journal);
        const UINT result = executeList(session, uiLevel, actions, stageTitle);
        return result;
    });
}

namespace {

// The journal folder that the rollback or commit action was given, or empty (with a log line) when there is
// nothing for it to do.
std::wstring journalOf(vmsi& session, const wchar_t* action) {
    const std::wstring folder = session.GetProperty(L"CustomActionData");
    if (folder.empty()) {
        session.log(L"%s: no undo data was handed over (no set-property action gave it \"[Action_%s]\")",
                    std::wstring(action), std::wstring(action));
        return {};
    }
    if (!UndoJournal::isRunFolder(folder)) {
        session.warnInLog(formatString(L"%s: '%s' is not a folder of undo data; it is left alone", std::wstring(action), folder));
        return {};
    }
    if (!VDirectory::exists(folder)) {
        session.log(L"%s: the normal stage left no undo data: it did not run, or changed nothing", std::wstring(action));
        return {};
    }
    return folder;
}

}  // namespace

// Neither ever fails: the installer goes on with its own rollback or commit whatever happens here.
UINT runNormalRollback(MSIHANDLE install) {
    runCustomAction(install, "OnStageNormalRollback", L"OnStageNormalRollback", [](vmsi& session) -> UINT {
        if (const std::wstring folder = journalOf(session, L"OnStageNormalRollback"); !folder.empty())
            UndoJournal(folder).rollBack(session);
        return ERROR_SUCCESS;
    });
    return ERROR_SUCCESS;
}

UINT runNormalCommit(MSIHANDLE install) {
    runCustomAction(install, "OnStageNormalCommit", L"OnStageNormalCommit", [](vmsi& session) -> UINT {
        if (const std::wstring folder = journalOf(session, L"OnStageNormalCommit"); !folder.empty()) {
            UndoJournal(folder).commit(&session);
            session.log(L"OnStageNormalCommit: the changes of the normal stage are kept; its undo data is removed");
        }
        return ERROR_SUCCESS;
    });
    return ERROR_SUCCESS;
}
