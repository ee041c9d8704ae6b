// Generation of the stage scripts from the package's TarvoCustomActions table, in real installer sessions.
// (The e2e install scenario shows every stage's rows run in Order, and a row with a false condition not at all.)
#include <gtest/gtest.h>

#include "engine/generation.h"
#include "msi/vmsi.h"
#include "msi/vxml.h"
#include "runtime/security/security.h"
#include "tests/msisession.h"
#include "tests/testutil.h"

namespace {

// The actions of a script as "type|parameters|text|critical" lines, read back through the DOM.
std::vector<std::wstring> actionsOf(const std::wstring& script) {
    const XmlDocument document = vxmlLoadXML(script);
    const XmlNodeList nodes = childNodes(documentElement(document.get()).get());
    std::vector<std::wstring> actions;
    for (long i = 0; i < length(nodes.get()); ++i) {
        const XmlElement action = asElement(item(nodes.get(), i).get());
        actions.push_back(getAttribute(action.get(), L"type", L"?") + L"|" +
                          getAttribute(action.get(), L"parameters", L"?") + L"|" +
                          getAttribute(action.get(), L"text", L"?") + L"|" + getAttribute(action.get(), L"critical", L"?"));
    }
    return actions;
}

// One row "Cmd <stage letter>" in each stage; `critical` of the postinstall row.
std::vector<std::wstring> rowPerStage(const wchar_t* critical) {
    return actionTable({{L"n", L"1", L"Cmd", L"n", L"N", 1, L"1", L"normal"},
                        {L"c", L"1", L"Cmd", L"c", L"C", 1, L"1", L"precommit"},
                        {L"p", L"1", L"Cmd", L"p", L"P", 1, critical, L"postinstall"},
                        {L"r", L"1", L"Cmd", L"r", L"R", 1, L"1", L"preinstall"}});
}

class Generation : public ::testing::Test {
protected:
    void SetUp() override { savedPause = std::exchange(vmsi::conditionRetryPause, 1); }
    void TearDown() override { vmsi::conditionRetryPause = savedPause; }
    DWORD savedPause = 0;
};

}  // namespace

// Only the parameters and the text are formatted; only ERRORMODE "full", spelled so, makes every row critical;
// the evaluation of each row's condition is logged only with debug logging.
TEST_F(Generation, RowsFollowTheirOrderWithReferencesResolvedAndFalseConditionsLeftOut) {
    MsiSession package(actionTable({
        {L"c", L"1", L"Cmd", L"third", L"Third", 30, L"1", L"normal"},
        {L"a", L"INSTALLDIR", L"FormBINDKey", L"[INSTALLDIR]bin", L"First in [INSTALLDIR]", 5, L"0", L"normal"},
        {L"skip", L"NOT INSTALLDIR", L"Cmd", L"never", L"Never", 7, L"1", L"normal"},
        {L"b", L"1", L"[INSTALLDIR]", L"say \"[INSTALLDIR]\"", L"Second", 10, L"0", L"normal"},
        {L"other", L"1", L"Cmd", L"elsewhere", L"Other stage", 1, L"1", L"precommit"},
    }));
    package.setProperty(L"INSTALLDIR", L"C:\\Tarvo\\");
    vmsi session(package.handle());
    const std::wstring evaluated = L"Info: Custom action 'Never' (Order: 7) with condition 'NOT INSTALLDIR' has been "
                                   L"evaluated to: false";
    for (const bool debug : {false, true}) {
        ScopedDebugLogging logging(debug);
        package.clearMessages();
        const std::wstring script = GenerateCAScript(session, L"normal");
        EXPECT_EQ(actionsOf(script), (std::vector<std::wstring>{L"FormBINDKey|C:\\Tarvo\\bin|First in C:\\Tarvo\\|0",
                                                                L"[INSTALLDIR]|say \"C:\\Tarvo\\\"|Second|0",
                                                                L"Cmd|third|Third|1"}));
        EXPECT_EQ(anyContains(package.texts(kInfo), evaluated), debug) << package.log();
        // The quote is stored as an entity reference, the form the masking of logged scripts expects.
        EXPECT_TRUE(contains(script, L"parameters=\"say &quot;C:\\Tarvo\\&quot;\"")) << script;
    }
    MsiSession optional(actionTable({{L"a", L"1", L"Cmd", L"p", L"T", 1, L"0", L"normal"}}));
    vmsi optionalSession(optional.handle());
    for (const auto& [mode, critical] : {std::pair{L"Full", L"Cmd|p|T|0"}, {L"full", L"Cmd|p|T|1"}}) {
        optional.setProperty(L"ERRORMODE", mode);
        EXPECT_EQ(actionsOf(GenerateCAScript(optionalSession, L"normal")), std::vector<std::wstring>{critical});
    }
}

// A strange level stays an attribute value: it can neither break the script nor add actions.
TEST_F(Generation, AStageWithoutRowsIsTheEmptyRootAndTheLevelCannotReshapeIt) {
    MsiSession package(actionTable({{L"a", L"0", L"Cmd", L"p", L"T", 1, L"1", L"normal"}}));
    vmsi session(package.handle());
    package.setProperty(L"UILevel", L"3");
    for (const wchar_t* stage : {L"normal", L"preinstall"}) {
        std::wstring script = GenerateCAScript(session, stage);
        while (!script.empty() && (script.back() == L'\n' || script.back() == L'\r')) script.pop_back();
        EXPECT_EQ(script, L"<actionslist uilevel=\"3\"/>");
    }
    const std::wstring level = L"5\"><action type=\"Cmd\" parameters=\"x\"/><x y=\"";
    package.setProperty(L"UILevel", level);
    const std::wstring script = GenerateCAScript(session, L"normal");
    EXPECT_TRUE(actionsOf(script).empty()) << script;
    EXPECT_EQ(getAttribute(documentElement(vxmlLoadXML(script).get()).get(), L"uilevel", L""), level);
}

// Each of the four attempts waits through the condition's 21 pauses before its evaluation gives up.
TEST_F(Generation, AnEmptyConditionFailsEveryAttemptAfterItsRetries) {
    MsiSession package(actionTable({{L"a", L"", L"Cmd", L"p", L"T", 1, L"1", L"normal"}}));
    vmsi session(package.handle());
    vmsi::conditionRetryPause = 5;
    const ULONGLONG started = ::GetTickCount64();
    const vexception e = thrownVexception([&] { GenerateCAScript(session, L"normal"); });
    EXPECT_GE(::GetTickCount64() - started, 4u * 21u * 5u * 8u / 10u) << "fewer attempts or retries than expected";
    EXPECT_TRUE(e.message().starts_with(L"Unable to generate post-installation actions list with error:")) << e.toString();
    EXPECT_TRUE(contains(e.toString(), L"MsiEvaluateCondition()")) << e.toString();
}

// The stages are set in the order normal, precommit, postinstall, preinstall: a failing stage leaves the
// earlier ones set and fails the action with one error.
TEST_F(Generation, PrepareSetsTheAdministratorsNameTheRandomAndAllFourScriptsOrFailsAtTheFirstBadStage) {
    MsiSession package(rowPerStage(L"1"));
    ASSERT_EQ(package.call("PrepareTarvoCustomActions"), 0u) << package.log();
    EXPECT_EQ(package.property(L"AdminGroup"), VSID::admins().findAccount());
    EXPECT_FALSE(package.property(L"AdminGroup").empty());
    const std::wstring random = package.property(L"SSLRANDOM");
    EXPECT_TRUE(!random.empty() && random.find_first_not_of(L"0123456789") == std::wstring::npos) << random;
    for (const auto& [stage, row] : {std::pair{L"Normal", L"Cmd|n|N|1"}, {L"Precommit", L"Cmd|c|C|1"},
                                     {L"Postinstall", L"Cmd|p|P|1"}, {L"Preinstall", L"Cmd|r|R|1"}})
        EXPECT_EQ(actionsOf(package.property(std::wstring(L"Action_OnStage") + stage)), std::vector<std::wstring>{row});
    EXPECT_TRUE(package.texts(kError).empty());

    MsiSession failing(rowPerStage(L"Null"));  // a null Critical cannot be read as a number
    EXPECT_EQ(failing.call("PrepareTarvoCustomActions"), 1603u);
    EXPECT_EQ(actionsOf(failing.property(L"Action_OnStageNormal")).size(), 1u);
    EXPECT_EQ(actionsOf(failing.property(L"Action_OnStagePrecommit")).size(), 1u);
    EXPECT_TRUE(failing.property(L"Action_OnStagePostinstall").empty());
    EXPECT_TRUE(failing.property(L"Action_OnStagePreinstall").empty());
    const std::vector<std::wstring> errors = failing.texts(kError);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_TRUE(contains(errors[0], L"Unable to generate post-installation actions list with error:")) << errors[0];
    EXPECT_TRUE(contains(errors[0], L"PrepareTarvoCustomActions(PrepareTarvoCustomActions line")) << errors[0];
}

// What the installer's dialog and progress bar see: PrepareTarvoCustomActions reserves the ticks of the rows
// that the deferred stages will run; a stage shows each row's text (masked), moving the bar by the row's
// ticks, and a long row's advance (a command's latest output line, a backup's file count), leaving the bar.
TEST_F(Generation, ProgressReservesTheDeferredRowsAndEachStageShowsItsRows) {
    const std::wstring site = tempDirectory() + L"\\site";
    ::CreateDirectoryW(site.c_str(), nullptr);
    for (const wchar_t* name : {L"a.html", L"b.html", L"c.html"}) writeBytes(site + L"\\" + name, "x");
    MsiSession package(actionTable({
        {L"n1", L"1", L"Cmd", L"cmd.exe /c exit 0", L"First -password=s3cret", 1, L"1", L"normal"},
        {L"n2", L"1", L"Cmd", L"cmd.exe /c echo one& echo password=s3cret", L"Counting", 2, L"1", L"normal"},
        {L"n3", L"1", L"BackupFolder", site, L"Back up", 3, L"1", L"normal"},
        {L"off", L"0", L"Cmd", L"cmd.exe /c exit 0", L"Never", 4, L"1", L"normal"},
        {L"c1", L"1", L"Cmd", L"cmd.exe /c exit 0", L"Commit", 1, L"1", L"precommit"},
        {L"p1", L"1", L"Cmd", L"cmd.exe /c exit 0", L"Post", 1, L"1", L"postinstall"},
    }));
    ASSERT_EQ(package.call("PrepareTarvoCustomActions"), 0u);
    EXPECT_EQ(package.texts(kProgress), (std::vector<std::wstring>{L"3,40000"}));
    package.clearMessages();
    package.setProperty(L"CustomActionData", package.property(L"Action_OnStageNormal"));
    ASSERT_EQ(package.call("OnStageNormal"), 0u);
    std::vector<std::wstring> seen;
    size_t outputAdvances = 0;
    for (const InstallerMessage& m : package.messages()) {
        if (m.kind() == kActionData && m.text.starts_with(L"Counting | ")) {
            // A few a second at most: here the one line the command printed first, or its last.
            EXPECT_TRUE(m.text == L"Counting | one" || m.text == L"Counting | password=*") << m.text;
            ++outputAdvances;
        } else if (m.kind() == kProgress || m.kind() == kActionData) {
            seen.push_back((m.kind() == kProgress ? L"progress " : L"data ") + m.text);
        }
    }
    EXPECT_GE(outputAdvances, 1u);
    EXPECT_EQ(seen, (std::vector<std::wstring>{
                        L"progress 1,10000", L"data First -password=*", L"progress 1,0",
                        L"progress 1,10000", L"data Counting",          L"progress 1,0",
                        L"progress 1,10000", L"data Back up",           L"progress 1,0", L"data Back up | 3 of 3 files",
                    }));
}
