#include "engine/stagerunner.h"

#include "engine/executor.h"
#include "engine/frame.h"
#include "engine/reboot.h"
#include "engine/scriptreader.h"
#include "msi/vxml.h"

UINT _ExecuteActionScript(MSIHANDLE install, const std::wstring& stageTitle, const std::wstring& propertyName) {
    const auto frameText = [&] { return formatString(L"%s ", stageTitle); };
    return runCustomAction(install, "_ExecuteActionScript", frameText, [&](vmsi& session) {
        // Deferred actions cannot schedule a reboot themselves: the immediate stages do it for them.
        scheduleRecordedReboot(session);
        const std::wstring script = session.GetProperty(propertyName);
        // The only place the script is logged: masked, as the session masks every line it writes.
        session.log(L"%s: %s = %s", stageTitle, propertyName, script);
        const XmlDocument document = vxmlLoadXML(script);
        const int uiLevel = _wtoi(getAttribute(documentElement(document.get()).get(), L"uilevel", L"").c_str());
        ActionList actions;
        readActionList(document.get(), actions);
        return executeList(session, uiLevel, actions, stageTitle);
    });
}
