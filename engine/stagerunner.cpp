#include "engine/stagerunner.h"

#include "engine/executor.h"
#include "engine/frame.h"
#include "engine/reboot.h"
#include "engine/scriptreader.h"
#include "msi/vxml.h"

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
        const int uiLevel = _wtoi(getAttribute(documentElement(document.get()).get(), L"uilevel", L"").c_str());
        ActionList actions;
        readActionList(document.get(), actions);
        return executeList(session, uiLevel, actions, stageTitle);
    });
}
