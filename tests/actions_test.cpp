// The action factory, the parameter splitting and the script reader. (tarvoca_test shows more refusals of the
// factory, as lint findings.)
#include <gtest/gtest.h>

#include "actions/execphp.h"
#include "engine/action.h"
#include "engine/scriptreader.h"
#include "msi/vxml.h"
#include "runtime/errors/codepage.h"
#include "tests/testutil.h"

TEST(ActionScripts, SplitRunsOfSeparatorsNeverMakeEmptyFields) {
    EXPECT_EQ(split(L"a,,b,", L","), (std::vector<std::wstring>{L"a", L"b"}));
    EXPECT_EQ(split(L",,,", L","), std::vector<std::wstring>{});
    EXPECT_EQ(split(L"", L","), std::vector<std::wstring>{});
    EXPECT_EQ(split(L" a , b ", L","), (std::vector<std::wstring>{L" a ", L" b "}));  // blanks stay
    EXPECT_EQ(split(L"in>out=x>y", L">="), (std::vector<std::wstring>{L"in", L"out", L"x", L"y"}));
}

// Every refusal names its class's creation as the frame; a definition without a placeholder is named without
// its value, which may be a password.
TEST(ActionScripts, UnknownTypesAndBadParametersAreRefusedAtCreation) {
    const struct {
        const wchar_t* type;
        const wchar_t* parameters;
        const char* className;  // of the frame
        std::wstring message;
    } refused[] = {
        {L"cmd", L"x", "Action", L"Unable create CustomAction Provider cmd"},
        {L"", L"x", "Action", L"Unable create CustomAction Provider "},
        {L"Cmd", L"", "CmdAction", L"Empty arguments on call CreateAction"},
        {L"FormBINDKey", L"a,b,c", "FormBINDKeyAction", L"Invalid arguments on call FormBINDKeyAction"},
        {L"WriteRegistryDWORD", L"LM,k,v", "WriteRegistryDWORD", L"Invalid arguments on call WriteRegistryDWORD"},
        {L"WriteRegistryDWORD", L"lm,k,v,1", "WriteRegistryDWORD", L"Invalid registry root lm at call WriteRegistryDWORD"},
        {L"WriteRegistryDWORD", L"HKEY_LOCAL_MACHINE,k,v,1", "WriteRegistryDWORD",
         L"Invalid registry root HKEY_LOCAL_MACHINE at call WriteRegistryDWORD"},
        {L"ExecPHPScript", L"", "ExecPHPScriptAction", L"Invalid arguments on call ExecPHPScriptAction"},
        {L"ExecPHPScript", L",,,", "ExecPHPScriptAction", L"Invalid arguments on call ExecPHPScriptAction"},
        {L"StartStopService", L"name", "StartStopServiceAction", L""},
        {L"StartStopService", L"true,name,more", "StartStopServiceAction", L""},
        {L"RestartService", L"name,more", "RestartServiceAction", L""},
        {L"RestartService", L",,", "RestartServiceAction", L""},
        {L"FixIniFile", L"f,s,k,v,1,2", "FixIniFile", L""},
        {L"FixConfFile", L"f,k", "FixConfFile", L""},
        {L"FixTemplateFile", L",,", "FixTemplateFile", L""},
        {L"FixTemplateFile", L">>,A=1", "FixTemplateFile", L""},
        {L"FixTemplateFile", L"t,A=1,=secret", "FixTemplateFile", L": definition 2 ('=...') names no placeholder"},
        {L"FixTemplateFile", L"t,Escape()=secret", "FixTemplateFile", L": definition 1 ('Escape()=...') names no placeholder"},
        {L"FixTemplateFile", L"t,UNIX()", "FixTemplateFile", L": definition 1 ('UNIX()=...') names no placeholder"},
        {L"CopyFile", L"only-one", "CopyFileAction", L""},
        {L"CopyFile", L"a,b,c", "CopyFileAction", L""},
        {L"BackupFolder", L"a,b", "BackupFolderAction", L""},
        {L"RestoreFolder", L",", "RestoreFolderAction", L""},
        {L"BackupFolder", L"C:\\", "BackupFolderAction", L": 'C:\\' is not a folder that can have a backup beside it"},
        {L"RestoreFolder", L"\\\\", "RestoreFolderAction", L": '\\\\' is not a folder that can have a backup beside it"},
        {L"BackupFolder", L"//srv/share/", "BackupFolderAction",
         L": '//srv/share/' is not a folder that can have a backup beside it"},
    };
    for (const auto& r : refused) {
        const vexception e = thrownVexception([&] { Action::CreateAction(r.type, r.parameters, L"text", true); });
        const std::wstring message =
            r.message.empty() || r.message[0] == L':' ? L"Invalid arguments on call " + wstr(r.className) + r.message : r.message;
        EXPECT_EQ(e.message(), message) << r.parameters;
        EXPECT_EQ(e.frames().at(0).function, std::string(r.className) + "::CreateAction") << r.parameters;
    }
    // Runs of separators make no empty fields.
    const auto script = Action::CreateAction(L"ExecPHPScript", L",a\\b.php,,x y,-z,", L"t", true);
    const auto& php = dynamic_cast<const ExecPHPScriptAction&>(*script);
    EXPECT_EQ(php.scriptPath(), L"a\\b.php");
    EXPECT_EQ(php.arguments(), (std::vector<std::wstring>{L"x y", L"-z"}));
}

// Only <action> elements count, group actions are skipped; a critical value other than zero is critical; the
// first bad element stops reading and keeps what was read.
TEST(ActionScripts, ActionElementsBecomeActionsUntilTheFirstBadOne) {
    const std::wstring p = xmlAttr(L"LM,SOFTWARE\\TarvoTest\\reader,v,1");
    const auto element = [&](const std::wstring& text, const std::wstring& critical) {
        return L"<action type=\"WriteRegistryDWORD\" parameters=\"" + p + L"\" text=\"" + text + L"\"" + critical + L"/>";
    };
    const XmlDocument script = vxmlLoadXML(
        L"<anything>\n  <!-- a comment -->\n" + element(L"absent", L"") + element(L"two", L" critical=\"2\"") +
        L"  <Action type=\"Nonsense\" text=\"capital A is not ours\"/>\n  <action type=\"GroupAction\" text=\"group\"/>\n"
        L"  <other type=\"Nonsense\"/>\n text between \n" + element(L"zero", L" critical=\"0\"") +
        element(L"blank zero", L" critical=\" 0\"") + element(L"empty", L" critical=\"\"") + L"</anything>");
    ActionList actions;
    readActionList(script.get(), actions);
    std::vector<std::wstring> read;
    for (const auto& action : actions) read.push_back(action->getText() + (action->isCritical() ? L"!" : L""));
    EXPECT_EQ(read, (std::vector<std::wstring>{L"absent!", L"two!", L"zero", L"blank zero!", L"empty!"}));

    const XmlDocument document = vxmlLoadXML(L"<actionslist>" + actionXml(L"FormBINDKey", L"a,b", L"good") +
                                             actionXml(L"Unknown", L"", L"bad") + actionXml(L"FormBINDKey", L"c,d", L"never") +
                                             L"</actionslist>");
    ActionList partial;
    EXPECT_THROW(readActionList(document.get(), partial), vexception);
    ASSERT_EQ(partial.size(), 1u);
    EXPECT_EQ(partial[0]->getText(), L"good");
}
