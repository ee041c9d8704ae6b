#include "engine/generation.h"

#include <optional>
#include <vector>

#include "engine/frame.h"
#include "engine/reboot.h"
#include "engine/scriptreader.h"
#include "engine/stages.h"
#include "engine/undo.h"
#include "msi/vxml.h"
#include "runtime/security/security.h"

namespace {

// A row that no further attempt can mend: its condition has a syntax error, or the factory refuses a critical
// row. It names the row, so that the author knows where to look.
class RowRefused : public vexception {
public:
    using vexception::vexception;
};

// The primary key's columns of the table, for naming rows in messages.
std::vector<std::wstring> keyColumns(vmsi& session) {
    const tarvo::unique_msihandle database(::MsiGetActiveDatabase(session.handle()));
    vmsirecord keys;
    if (const UINT status = ::MsiDatabaseGetPrimaryKeysW(database.get(), L"TarvoCustomActions", keys.put()))
        throwOsError(L"MsiDatabaseGetPrimaryKeys(TarvoCustomActions)", status, errorFrame(L"", "keyColumns"));
    std::vector<std::wstring> names;
    for (unsigned i = 1, count = ::MsiRecordGetFieldCount(keys.handle()); i <= count; ++i)
        names.push_back(keys.GetString(i));
    return names;
}

std::wstring buildScript(vmsi& session, const std::wstring& stage, const std::wstring& undoFolder) {
    // The level goes in through the DOM, which escapes it: no property value can reshape the script.
    const XmlDocument document = vxmlLoadXML(L"<actionslist/>");
    const XmlElement root = documentElement(document.get());
    setAttribute(root.get(), L"uilevel", session.GetProperty(L"UILevel"));
    if (!undoFolder.empty()) setAttribute(root.get(), L"undo", undoFolder);

    const std::vector<std::wstring> keys = keyColumns(session);
    std::wstring keySelection;
    for (const std::wstring& key : keys) keySelection += L", `" + key + L"`";
    vmsirecordset rows(session.query(formatString(
        L"SELECT `Condition`, `ActionType`, `Parameters`, `ProgressText`, `Order`, `Critical`%s FROM "
        L"`TarvoCustomActions` WHERE `Stage`='%s' ORDER BY `Order`",
        keySelection, stage)));
    while (rows.Next()) {
        const vmsirecord& row = rows.current();
        const std::wstring condition = row.GetString(1);
        const std::wstring type = row.GetString(2);
        const std::wstring parameters = row.GetString(3);
        const std::wstring progressText = row.GetString(4);
        const int order = _wtoi(row.GetString(5).c_str());
        int critical = row.GetInteger(6);
        if (session.GetProperty(L"ERRORMODE") == L"full") critical = 1;
        std::wstring key;
        for (unsigned i = 0; i < keys.size(); ++i) key += (i ? L"/" : L"") + row.GetString(7 + i);
        const auto rowName = [&](const std::wstring& text) {
            return formatString(L"Row %s ('%s') of stage '%s'", key, text, stage);
        };

        bool holds = false;
        try {
            holds = session.evaluateCondition(condition);
        } catch (const ConditionSyntaxError&) {
            throw RowRefused(formatString(L"%s: the installer finds a syntax error in its condition '%s'",
                                          rowName(progressText), condition),
                             errorFrame(L"", "buildScript"));
        }
        session.log(LogLevel::Info,
                    formatString(L"Custom action '%s' (Order: %d) with condition '%s' has been evaluated to: %s",
                                 progressText, order, condition, std::wstring(holds ? L"true" : L"false")));
        if (!holds) continue;
        const std::wstring formatted = session.formatRecord(parameters), text = session.formatRecord(progressText);
        // The stage's own reader, given what the script will hold: a row it would refuse is found before any
        // stage has changed the machine. Only constructed, never executed.
        std::wstring reason;
        try {
            createScriptAction(type, formatted, text, critical != 0);
        } catch (const FieldCountError& e) {
            reason = e.message() + L" after formatting";
        } catch (...) {
            reason = toVexception(std::current_exception(), errorFrame(L"", "buildScript")).message();
        }
        if (!reason.empty()) {
            const std::wstring refusal = formatString(L"%s, action type '%s': %s", rowName(text), type, reason);
            if (critical) throw RowRefused(refusal, errorFrame(L"", "buildScript"));
            session.warningMessage(refusal + L" (the row is not critical; its stage will refuse its script)");
        }
        appendScriptAction(document.get(), root.get(), type, formatted, text, critical);
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

// True when the package schedules both actions that finish the normal stage's undo journal: without them
// nobody would remove it.
static bool packageFinishesJournal(vmsi& session) try {
    for (const wchar_t* entry : {L"OnStageNormalRollback", L"OnStageNormalCommit"}) {
        vmsirecordset rows(session.query(formatString(
            L"SELECT `CustomAction`.`Action` FROM `CustomAction`, `InstallExecuteSequence` WHERE "
            L"`CustomAction`.`Target`='%s' AND `InstallExecuteSequence`.`Action`=`CustomAction`.`Action`",
            std::wstring(entry))));
        if (!rows.Next()) return false;
    }
    return true;
} catch (const vexception&) {
    return false;  // a package without those tables schedules neither
}

std::wstring GenerateCAScript(vmsi& session, const std::wstring& stage, const std::wstring& undoFolder) {
    std::wstring result;
    std::wstring lastError = L"none";
    // Four attempts, each from a new document and a new query.
    for (int attemptsLeft = 3; attemptsLeft >= 0; --attemptsLeft) {
        result.clear();
        lastError = L"none";
        std::optional<RowRefused> refused;
        const std::wstring failure =
            captureFailure("GenerateCAScript", L"Unable to create configuration actions list.", [&] {
                ThreadCancelation::CancelationPoint point(ThreadCancelation::Deferred);
                try {
                    result = buildScript(session, stage, undoFolder);
                } catch (const RowRefused& e) {
                    refused = e;
                    throw;
                }
            });
        if (refused) throw refused->addFrame(errorFrame(L"", "GenerateCAScript"));  // another attempt cannot mend it
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
        // The normal stage's undo journal, which its rollback and commit actions finish.
        const std::wstring undoFolder = UndoJournal::newRunFolder(session.GetProperty(L"ProductCode"));
        session.SetProperty(L"Action_OnStageNormalRollback", undoFolder);
        session.SetProperty(L"Action_OnStageNormalCommit", undoFolder);
        const bool journalFinished = packageFinishesJournal(session);
        // A failure leaves the earlier stages' properties set.
        size_t deferredRows = 0;
        for (const Stage& s : stage::all) {
            const std::wstring script =
                GenerateCAScript(session, s.name, std::wstring_view(s.name) == stage::normal.name && journalFinished ? undoFolder : L"");
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
