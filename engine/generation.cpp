#include "engine/generation.h"

#include "engine/frame.h"
#include "engine/reboot.h"
#include "engine/stages.h"
#include "msi/vxml.h"
#include "runtime/security/security.h"

namespace {

std::wstring buildScript(vmsi& session, const std::wstring& stage) {
    // The level goes in through the DOM, which escapes it: no property value can reshape the script.
    const XmlDocument document = vxmlLoadXML(L"<actionslist/>");
    const XmlElement root = documentElement(document.get());
    setAttribute(root.get(), L"uilevel", session.GetProperty(L"UILevel"));

    vmsirecordset rows(session.query(formatString(
        L"SELECT `Condition`, `ActionType`, `Parameters`, `ProgressText`, `Order`, `Critical` FROM "
        L"`TarvoCustomActions` WHERE `Stage`='%s' ORDER BY `Order`",
        stage)));
    while (rows.Next()) {
        const vmsirecord& row = rows.current();
        const std::wstring condition = row.GetString(1);
        const std::wstring type = row.GetString(2);
        const std::wstring parameters = row.GetString(3);
        const std::wstring progressText = row.GetString(4);
        const int order = _wtoi(row.GetString(5).c_str());
        int critical = row.GetInteger(6);
        if (session.GetProperty(L"ERRORMODE") == L"full") critical = 1;

        const bool holds = session.evaluateCondition(condition);
        session.log(LogLevel::Info,
                    formatString(L"Custom action '%s' (Order: %d) with condition '%s' has been evaluated to: %s",
                                 progressText, order, condition, std::wstring(holds ? L"true" : L"false")));
        if (!holds) continue;
        appendScriptAction(document.get(), root.get(), type, session.formatRecord(parameters),
                           session.formatRecord(progressText), critical);
    }
    return xml(document.get());
}

}  // namespace

void appendScriptAction(IXMLDOMDocument2* document, IXMLDOMElement* root, const std::wstring& type,
                        const std::wstring& parameters, const std::wstring& text, int critical) {
    const XmlElement action = createElement(document, L"action");
    setAttribute(action.get(), L"type", type);
    setAttribute(action.get(), L"parameters", parameters);
    setAttribute(action.get(), L"text", text);
    setAttribute(action.get(), L"critical", std::to_wstring(critical));
    appendChild(root, action.get());
}

std::wstring GenerateCAScript(vmsi& session, const std::wstring& stage) {
    std::wstring result;
    std::wstring lastError = L"none";
    // Four attempts, each from a new document and a new query.
    for (int attemptsLeft = 3; attemptsLeft >= 0; --attemptsLeft) {
        result.clear();
        lastError = L"none";
        const std::wstring failure =
            captureFailure("GenerateCAScript", L"Unable to create configuration actions list.", [&] {
                ThreadCancelation::CancelationPoint point(ThreadCancelation::Deferred);
                result = buildScript(session, stage);
            });
        if (!failure.empty()) lastError = failure;
        if (!result.empty() && lastError == L"none") break;
    }
    if (result.empty() || lastError != L"none")
        throw vexception(L"Unable to generate post-installation actions list with error:" + lastError,
                         errorFrame(L"", "GenerateCAScript"));
    return result;
}

UINT runPrepareTarvoCustomActions(MSIHANDLE install) {
    return runCustomAction(install, "PrepareTarvoCustomActions", L"PrepareTarvoCustomActions", [](vmsi& session) -> UINT {
        forgetRecordedReboot(session);
        session.SetProperty(L"AdminGroup", VSID::admins().findAccount());
        session.SetProperty(L"SSLRANDOM", std::to_wstring(static_cast<unsigned long>(::GetTickCount())));
        // A failure leaves the earlier stages' properties set.
        size_t deferredRows = 0;
        for (const Stage& s : stage::all) {
            const std::wstring script = GenerateCAScript(session, s.name);
            session.SetProperty(s.scriptProperty, script);
            if (s.kind == StageKind::immediate) continue;
            // Markup characters inside attribute values are escaped: each element's tag is an action.
            for (size_t at = script.find(L"<action "); at != std::wstring::npos; at = script.find(L"<action ", at + 1))
                ++deferredRows;
        }
        // The deferred rows run inside the installation's script, whose progress bar counts them.
        session.reserveProgress(static_cast<int>(deferredRows) * stage::ticksPerRow);
        return ERROR_SUCCESS;
    });
}
