// The action factory, the parameter splitting and the script reader.
#include <gtest/gtest.h>

#include "actions/bindregistry.h"
#include "actions/execphp.h"
#include "engine/action.h"

#include <tuple>

#include "runtime/errors/codepage.h"
#include "engine/scriptreader.h"
#include "msi/vxml.h"
#include "runtime/errors/vexception.h"
#include "tests/testutil.h"

namespace {

vexception creationFailure(const std::wstring& type, const std::wstring& parameters) {
    try {
        Action::CreateAction(type, parameters, L"text", true);
    } catch (const vexception& e) {
        return e;
    }
    ADD_FAILURE() << "created " << std::string(type.begin(), type.end());
    return vexception(L"");
}

ActionList readScript(const std::wstring& script) {
    const XmlDocument document = vxmlLoadXML(script);
    ActionList actions;
    readActionList(document.get(), actions);
    return actions;
}

const std::wstring registryParameters = L"LM,SOFTWARE\\TarvoTest\\reader,v,1";

}  // namespace

TEST(Split, RunsOfSeparatorsNeverMakeEmptyFields) {
    EXPECT_EQ(split(L"a,,b,", L","), (std::vector<std::wstring>{L"a", L"b"}));
    EXPECT_EQ(split(L",,,", L","), std::vector<std::wstring>{});
    EXPECT_EQ(split(L"", L","), std::vector<std::wstring>{});
    EXPECT_EQ(split(L" a , b ", L","), (std::vector<std::wstring>{L" a ", L" b "}));  // blanks stay
    EXPECT_EQ(split(L"in>out=x>y", L">="), (std::vector<std::wstring>{L"in", L"out", L"x", L"y"}));
}

TEST(Factory, NamesAreExactAndUnknownTypesFail) {
    const vexception lower = creationFailure(L"cmd", L"x");
    EXPECT_EQ(lower.message(), L"Unable create CustomAction Provider cmd");
    EXPECT_EQ(lower.frames().at(0).function, "Action::CreateAction");
    EXPECT_EQ(creationFailure(L"", L"x").message(), L"Unable create CustomAction Provider ");
    const vexception emptyCmd = creationFailure(L"Cmd", L"");
    EXPECT_EQ(emptyCmd.message(), L"Empty arguments on call CreateAction");
    EXPECT_EQ(emptyCmd.frames().at(0).function, "CmdAction::CreateAction");
}

TEST(Factory, FieldCountsAndRootsAreCheckedAtCreation) {
    const vexception bind = creationFailure(L"FormBINDKey", L"only-one");
    EXPECT_EQ(bind.message(), L"Invalid arguments on call FormBINDKeyAction");
    EXPECT_EQ(bind.frames().at(0).function, "FormBINDKeyAction::CreateAction");
    EXPECT_EQ(creationFailure(L"FormBINDKey", L"a,b,c").message(), L"Invalid arguments on call FormBINDKeyAction");
    EXPECT_EQ(creationFailure(L"WriteRegistryDWORD", L"LM,k,v").message(),
              L"Invalid arguments on call WriteRegistryDWORD");
    for (const wchar_t* root : {L"lm", L"HKEY_LOCAL_MACHINE", L"CU"}) {
        const vexception e = creationFailure(L"WriteRegistryDWORD", std::wstring(root) + L",k,v,1");
        EXPECT_EQ(e.message(), L"Invalid registry root " + std::wstring(root) + L" at call WriteRegistryDWORD");
        EXPECT_EQ(e.frames().at(0).function, "WriteRegistryDWORD::CreateAction");
    }
    EXPECT_NE(Action::CreateAction(L"FormBINDKey", L",a,,b,", L"t", true), nullptr);
    for (const wchar_t* none : {L"", L",,,"}) {
        const vexception php = creationFailure(L"ExecPHPScript", none);
        EXPECT_EQ(php.message(), L"Invalid arguments on call ExecPHPScriptAction");
        EXPECT_EQ(php.frames().at(0).function, "ExecPHPScriptAction::CreateAction");
    }
    const auto script = Action::CreateAction(L"ExecPHPScript", L",a\\b.php,,x y,-z,", L"t", true);
    const auto& php = dynamic_cast<const ExecPHPScriptAction&>(*script);
    EXPECT_EQ(php.scriptPath(), L"a\\b.php");
    EXPECT_EQ(php.arguments(), (std::vector<std::wstring>{L"x y", L"-z"}));
}

TEST(Factory, TheFileActionsCheckTheirParametersAtCreation) {
    for (const auto& [type, className, parameters, message] : {
             std::tuple{L"FixIniFile", "FixIniFile", L"f,s,k", L""},
             std::tuple{L"FixIniFile", "FixIniFile", L"f,s,k,v,1,2", L""},
             std::tuple{L"FixConfFile", "FixConfFile", L"f,k", L""},
             std::tuple{L"FixTemplateFile", "FixTemplateFile", L",,", L""},
             std::tuple{L"FixTemplateFile", "FixTemplateFile", L">>,A=1", L""},
             // A definition without a placeholder is named without its value, which may be a password.
             std::tuple{L"FixTemplateFile", "FixTemplateFile", L"t,A=1,=secret", L": definition 2 ('=...') names no placeholder"},
             std::tuple{L"FixTemplateFile", "FixTemplateFile", L"t,Escape()=secret",
                        L": definition 1 ('Escape()=...') names no placeholder"},
             std::tuple{L"FixTemplateFile", "FixTemplateFile", L"t,UNIX()", L": definition 1 ('UNIX()=...') names no placeholder"},
             std::tuple{L"CopyFile", "CopyFileAction", L"only-one", L""},
             std::tuple{L"CopyFile", "CopyFileAction", L"a,b,c", L""},
             std::tuple{L"BackupFolder", "BackupFolderAction", L"a,b", L""},
             std::tuple{L"RestoreFolder", "RestoreFolderAction", L",", L""},
             std::tuple{L"BackupFolder", "BackupFolderAction", L"C:\\", L": 'C:\\' is not a folder that can have a backup beside it"},
             std::tuple{L"RestoreFolder", "RestoreFolderAction", L"\\\\", L": '\\\\' is not a folder that can have a backup beside it"},
             std::tuple{L"BackupFolder", "BackupFolderAction", L"//srv/share/", L": '//srv/share/' is not a folder that can have a backup beside it"},
         }) {
        const vexception e = creationFailure(type, parameters);
        EXPECT_EQ(e.message(), L"Invalid arguments on call " + wstr(className) + message) << parameters;
        EXPECT_EQ(e.frames().at(0).function, std::string(className) + "::CreateAction");
    }
    EXPECT_NE(Action::CreateAction(L"CopyFile", L"a,,b", L"t", true), nullptr);
}

TEST(Factory, TheScriptsCriticalFlagIsAppliedLast) {
    const auto action = Action::CreateAction(L"WriteRegistryDWORD", registryParameters, L"my text", false);
    EXPECT_FALSE(action->isCritical());
    EXPECT_EQ(action->getText(), L"my text");
    EXPECT_TRUE(action->setCritical(true));
    EXPECT_TRUE(action->isCritical());
}

TEST(Reader, CriticalValuesOtherThanZeroAreCritical) {
    const std::wstring p = xmlAttr(registryParameters);
    const ActionList actions = readScript(
        L"<actionslist>"
        L"<action type=\"WriteRegistryDWORD\" parameters=\"" + p + L"\" text=\"absent\"/>"
        L"<action type=\"WriteRegistryDWORD\" parameters=\"" + p + L"\" text=\"two\" critical=\"2\"/>"
        L"<action type=\"WriteRegistryDWORD\" parameters=\"" + p + L"\" text=\"zero\" critical=\"0\"/>"
        L"<action type=\"WriteRegistryDWORD\" parameters=\"" + p + L"\" text=\"blank zero\" critical=\" 0\"/>"
        L"<action type=\"WriteRegistryDWORD\" parameters=\"" + p + L"\" text=\"empty\" critical=\"\"/>"
        L"</actionslist>");
    ASSERT_EQ(actions.size(), 5u);
    EXPECT_TRUE(actions[0]->isCritical());
    EXPECT_TRUE(actions[1]->isCritical());
    EXPECT_FALSE(actions[2]->isCritical());
    EXPECT_TRUE(actions[3]->isCritical());
    EXPECT_TRUE(actions[4]->isCritical());
}

TEST(Reader, OnlyActionElementsCountAndGroupActionsAreSkipped) {
    const std::wstring p = xmlAttr(registryParameters);
    const ActionList actions = readScript(
        L"<anything>\n  <!-- a comment -->\n"
        L"  <action type=\"WriteRegistryDWORD\" parameters=\"" + p + L"\" text=\"first\"/>\n"
        L"  <Action type=\"Nonsense\" text=\"capital A is not ours\"/>\n"
        L"  <action type=\"GroupAction\" text=\"group\"/>\n"
        L"  <other type=\"Nonsense\"/>\n text between \n"
        L"  <action type=\"FormBINDKey\" parameters=\"a,b\" text=\"second\"/>\n"
        L"</anything>");
    ASSERT_EQ(actions.size(), 2u);
    EXPECT_EQ(actions[0]->getText(), L"first");
    EXPECT_EQ(actions[1]->getText(), L"second");
}

TEST(Reader, TheFirstBadElementStopsReadingAndKeepsWhatWasRead) {
    const XmlDocument document = vxmlLoadXML(
        L"<actionslist>" + actionXml(L"FormBINDKey", L"a,b", L"good") + actionXml(L"Unknown", L"", L"bad") +
        actionXml(L"FormBINDKey", L"c,d", L"never") + L"</actionslist>");
    ActionList actions;
    EXPECT_THROW(readActionList(document.get(), actions), vexception);
    ASSERT_EQ(actions.size(), 1u);
    EXPECT_EQ(actions[0]->getText(), L"good");
}
