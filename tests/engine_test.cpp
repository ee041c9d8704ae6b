// Stage entry points and the execution engine, through real installer sessions and the product DLL.
#include <gtest/gtest.h>

#include <functional>
#include <regex>

#include "engine/executor.h"
#include "msi/vmsi.h"
#include "runtime/threads/cancelation.h"
#include "tests/msisession.h"
#include "tests/testutil.h"

namespace {

// Log, error, warning and rollback-data messages, the times of day as "T" (the progress of each row is
// tested with the generation).
std::vector<std::wstring> transcript(const MsiSession& package) {
    static const std::wregex time(L"\\d\\d:\\d\\d:\\d\\d");
    std::vector<std::wstring> lines;
    for (const InstallerMessage& m : package.messages()) {
        if (m.kind() == kProgress && m.text.starts_with(L"1,")) continue;
        if (m.kind() == kActionData && !m.text.starts_with(L"Rollback action:")) continue;
        const wchar_t* kind = m.kind() == kInfo      ? L"log"
                              : m.kind() == kError   ? L"error"
                              : m.kind() == kWarning ? L"warning"
                              : m.kind() == kActionData ? L"data"
                                                        : L"progress";
        lines.push_back(std::wstring(kind) + L": " + std::regex_replace(m.text, time, L"T"));
    }
    return lines;
}

class StageScripts : public ::testing::Test {
protected:
    UINT runPostinstall(const std::wstring& script) {
        package.clearMessages();
        package.setProperty(L"Action_OnStagePostinstall", script);
        return package.call("OnStagePostinstall");
    }
    std::wstring registryAction(const std::wstring& value, const std::wstring& text, const std::wstring& critical = L"1") {
        return actionXml(L"WriteRegistryDWORD", L"LM," + key.subkey() + L"," + value + L",7", text, critical);
    }
    bool written(const std::wstring& value) {
        DWORD data = 0;
        return key.readDword(value, data, KEY_WOW64_32KEY);
    }
    void expectNoMessageHolds(const std::wstring& secret) {
        for (const InstallerMessage& m : package.messages()) EXPECT_FALSE(contains(m.text, secret)) << m.text.size();
    }

    MsiSession package;
    ScopedTestKey key{L"engine"};
};

}  // namespace

// The failure names the stage and the likely cause (for a commit stage called as an immediate action, its
// type), after the script line, in the shape and frames of any other failure.
TEST_F(StageScripts, AnEmptyOrAbsentScriptFailsTheStageNamingTheCause) {
    EXPECT_EQ(package.call("OnStagePreinstall"), 1603u);
    const std::vector<std::wstring> log = package.texts(kInfo), errors = package.texts(kError);
    ASSERT_EQ(errors.size(), 1u);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), L"Performing pre-installation actions: Action_OnStagePreinstall = ");
    EXPECT_EQ(log.back(), errors[0]);
    EXPECT_TRUE(std::regex_match(errors[0], std::wregex(L"The stage 'Performing pre-installation actions' found no "
                                                        L"script in the property Action_OnStagePreinstall: "
                                                        L"PrepareTarvoCustomActions did not run before it[^\\n]*"
                                                        L"\n   at \\(_ExecuteActionScript line \\d+\\)"
                                                        L"\n   at Performing pre-installation actions "
                                                        L"\\(_ExecuteActionScript line \\d+\\)")))
        << errors[0];
    package.clearMessages();
    EXPECT_EQ(package.call("OnStagePrecommit"), 1603u);
    ASSERT_EQ(package.texts(kError).size(), 1u);
    EXPECT_TRUE(contains(package.texts(kError)[0],
                         L"found no script in the property CustomActionData: OnStagePrecommit runs as an immediate "
                         L"action, which gets no CustomActionData: its custom action type must make it a commit "
                         L"action (3585;"))
        << package.texts(kError)[0];

    EXPECT_EQ(runPostinstall(L"<actionslist uilevel=\"5\"/>"), 0u);
    EXPECT_EQ(transcript(package), (std::vector<std::wstring>{L"log: Performing post-installation actions: "
                                                              L"Action_OnStagePostinstall = <actionslist uilevel=\"5\"/>"}));
}

TEST_F(StageScripts, ACriticalFailureIsLoggedAndShownThenRollsBackTheEarlierActionsOnly) {
    const std::wstring failing =
        actionXml(L"FormBINDKey", L"C:\\tarvo-missing\\rndc.conf,C:\\tarvo-missing\\rndc.key", L"Second");
    EXPECT_EQ(runPostinstall(scriptXml(registryAction(L"one", L"First") + failing + registryAction(L"three", L"Third"))),
              1603u);
    std::vector<std::wstring> lines = transcript(package);
    ASSERT_GE(lines.size(), 10u);
    std::erase(lines, L"log: Warning: Rollback stage is initiated");  // with debug logging only
    const std::vector<std::wstring> start(lines.begin() + 1, lines.begin() + 5);
    EXPECT_EQ(start, (std::vector<std::wstring>{L"log: Tarvo custom action start T: First",
                                                L"log: Action 'First' finished successfully",
                                                L"log: Tarvo custom action ended T: First",
                                                L"log: Tarvo custom action start T: Second"}));
    EXPECT_TRUE(lines[5].rfind(L"log: Critical action 'Second' failed:\n", 0) == 0) << lines[5];
    EXPECT_TRUE(contains(lines[5], L"C:\\tarvo-missing\\rndc.key")) << lines[5];
    EXPECT_TRUE(contains(lines[5], L"Execute action Second(executeList line")) << lines[5];
    EXPECT_EQ(lines[6], L"error: " + lines[5].substr(5));
    EXPECT_EQ(lines[7], L"log: Tarvo custom action ended T: Second");
    ASSERT_EQ(lines.size(), 11u) << "the third action never starts";
    EXPECT_EQ(lines[8], L"data: Rollback action:First");
    EXPECT_EQ(lines[9], L"progress: 2,1");
    EXPECT_TRUE(lines[10].starts_with(L"log: Rollback: registry value ")) << lines[10];
    EXPECT_TRUE(contains(lines[10], L"one (32-bit view)', which the action created, is removed")) << lines[10];
    EXPECT_FALSE(written(L"one")) << "undone by the rollback";
    EXPECT_FALSE(written(L"three"));
}

TEST_F(StageScripts, BadScriptsFailBeforeAnyActionRunsAndAnyUiLevelRuns) {
    for (const std::wstring& bad : {actionXml(L"NoSuchType", L"x", L"Unknown"),
                                    actionXml(L"WriteRegistryDWORD", L"lm,a,b,1", L"Bad root")}) {
        EXPECT_EQ(runPostinstall(scriptXml(registryAction(L"before", L"Before") + bad)), 1603u);
        EXPECT_FALSE(anyContains(package.texts(kInfo), L"Tarvo custom action start"));
        EXPECT_EQ(package.texts(kError).size(), 1u);
        EXPECT_FALSE(written(L"before"));
    }
    EXPECT_TRUE(contains(package.texts(kError)[0], L"Invalid registry root lm at call WriteRegistryDWORD"));
    for (const std::wstring level : {L"", L"abc"}) EXPECT_EQ(runPostinstall(scriptXml(registryAction(L"v" + level, L"L"), level)), 0u);
    EXPECT_EQ(runPostinstall(L"<actionslist>" + registryAction(L"absent", L"Absent") + L"</actionslist>"), 0u);
    EXPECT_TRUE(written(L"v") && written(L"vabc") && written(L"absent"));
}

// The unmasked script is what runs (the failure names the real file), but the script line, its report and
// the parser's quote of a broken script are masked.
TEST_F(StageScripts, APasswordReachesTheLogOnlyMasked) {
    const std::wstring password = L"Pa55-w0rd!";
    EXPECT_EQ(runPostinstall(scriptXml(actionXml(L"FormBINDKey", L"C:\\x\\out.conf,C:\\x\\key -password=" + password + L" more",
                                                 L"Key", L"0"))),
              0u);
    ASSERT_FALSE(package.texts(kInfo).empty());
    EXPECT_EQ(package.texts(kInfo)[0],
              L"Performing post-installation actions: Action_OnStagePostinstall = <actionslist uilevel=\"5\">"
              L"<action type=\"FormBINDKey\" parameters=\"C:\\x\\out.conf,C:\\x\\key -password=* more\" "
              L"text=\"Key\" critical=\"0\"/></actionslist>");
    ASSERT_EQ(package.texts(kWarning).size(), 1u);
    EXPECT_TRUE(contains(package.texts(kWarning)[0], L"the key file 'C:\\x\\key -password=*")) << package.texts(kWarning)[0];
    expectNoMessageHolds(password);

    EXPECT_EQ(runPostinstall(L"<actionslist uilevel=\"5\"><action type=\"Cmd\" parameters=\"db -password=" + password +
                             L" -q\" text=\"t\"></actionslist>"),
              1603u);
    ASSERT_EQ(package.texts(kError).size(), 1u);
    EXPECT_TRUE(contains(package.texts(kError)[0], L"at load xml <actionslist uilevel=\"5\"><action type=\"Cmd\" "
                                                   L"parameters=\"db -password=* -q\" text=\"t\"></actionslist> in line "))
        << package.texts(kError)[0];
    expectNoMessageHolds(password);
}

namespace {

// An action whose steps the test gives: "ok", "fail" (a vexception), "int", "std", "seh" (other kinds thrown)
// or "cancel" (the engine's cancellation point cancelled); it notes each step in the journal.
class ScriptedAction : public Action {
public:
    ScriptedAction(std::wstring text, bool critical, std::string onExecute, std::string onRollback,
                   std::vector<std::wstring>& journal)
        : Action(std::move(text)), onExecute_(std::move(onExecute)), onRollback_(std::move(onRollback)), journal_(journal) {
        setCritical(critical);
    }
    void execute(vmsi&) override { step(L"execute ", onExecute_); }
    void rollback(vmsi&) override { step(L"rollback ", onRollback_); }

private:
    void step(const wchar_t* what, const std::string& how) {
        journal_.push_back(what + getText());
        if (how == "fail") throw vexception(L"planned failure");
        if (how == "undo") throw std::runtime_error("undo failed");
        if (how == "int") throw 7;
        if (how == "std") throw std::out_of_range("range");
        if (how == "seh") throw cwrpexception{0xC0000005};
        if (how == "cancel") ThreadCancelation::CancelationPoint::current()->cancel();
    }
    std::string onExecute_, onRollback_;
    std::vector<std::wstring>& journal_;
};

struct Step {
    const wchar_t* text;
    bool critical;
    const char* onExecute = "ok";
    const char* onRollback = "ok";
};

struct EngineCase {
    const char* name;
    std::vector<std::optional<Step>> actions;  // an empty entry: a null in the list
    int result;                                // 0, 1603, or -1 for the cancellation passed on
    std::vector<std::wstring> journal;
    size_t errors;
    std::vector<std::wstring> warnings;  // what each warning holds
};

}  // namespace

// Rollback covers every action that ran before the critical failure (failed non-critical ones too), in
// reverse order; its own failures are warnings; a cancellation rolls back, then passes on. The dialog shows
// each step the journal notes.
TEST_F(StageScripts, RollbackOrderAndOutcomeOfEveryKindOfRun) {
    const EngineCase cases[] = {
        {"empty list", {}, 0, {}, 0, {}},
        {"failed non-critical rolled back too",
         {Step{L"a", true}, Step{L"b", false, "fail"}, Step{L"c", true, "fail"}, Step{L"d", true}}, 1603,
         {L"execute a", L"execute b", L"execute c", L"rollback b", L"rollback a"}, 1, {L"Non-critical action 'b' failed:\n"}},
        {"first fails: nothing to roll back", {Step{L"a", true, "fail"}, Step{L"b", true}}, 1603, {L"execute a"}, 1, {}},
        {"a null entry stops without a message", {Step{L"a", true}, std::nullopt, Step{L"c", true}}, 1603,
         {L"execute a", L"rollback a"}, 0, {}},
        {"rollback failures warn and go on", {Step{L"a", true}, Step{L"b", true, "ok", "undo"}, Step{L"c", true, "fail"}},
         1603, {L"execute a", L"execute b", L"execute c", L"rollback b", L"rollback a"}, 1,
         {L"Error in rollback action b: undo failed\n   at Rollback action b(executeList line"}},
        {"any exception kind fails its action",
         {Step{L"int", false, "int"}, Step{L"std", false, "std"}, Step{L"seh", false, "seh"}}, 0,
         {L"execute int", L"execute std", L"execute seh"}, 0,
         {L"failed:\nUnexpected error\n   at Execute action int(executeList line", L"failed:\nrange\n",
          L"failed:\nC structured exception: 0xc0000005\n"}},
        {"cancelled action", {Step{L"a", true}, Step{L"b", false, "cancel"}, Step{L"c", true}}, -1,
         {L"execute a", L"execute b", L"rollback a"}, 0, {}},
        {"cancelled during rollback: no failure of the rollback",
         {Step{L"a", true}, Step{L"b", true, "ok", "cancel"}, Step{L"c", true, "fail"}}, -1,
         {L"execute a", L"execute b", L"execute c", L"rollback b", L"rollback a"}, 1, {}},
    };
    for (const EngineCase& c : cases) {
        SCOPED_TRACE(c.name);
        MsiSession package;
        vmsi session(package.handle());
        ActionList actions;
        std::vector<std::wstring> journal, shown;
        for (const auto& step : c.actions)
            actions.push_back(step ? std::make_unique<ScriptedAction>(step->text, step->critical, step->onExecute,
                                                                      step->onRollback, journal)
                                   : nullptr);
        int result = -1;
        try {
            result = static_cast<int>(executeList(session, 5, actions, L"stage"));
        } catch (const ThreadCancelation::ThreadCanceled&) {
        }
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(journal, c.journal);
        for (const std::wstring& line : journal)
            shown.push_back(line.starts_with(L"rollback ") ? L"Rollback action:" + line.substr(9) : line.substr(8));
        EXPECT_EQ(package.texts(kActionData), shown);
        EXPECT_EQ(package.texts(kError).size(), c.errors);
        const std::vector<std::wstring> warnings = package.texts(kWarning);
        ASSERT_EQ(warnings.size(), c.warnings.size());
        for (size_t i = 0; i < warnings.size(); ++i) EXPECT_TRUE(contains(warnings[i], c.warnings[i])) << warnings[i];
        const auto executed =
            std::count_if(journal.begin(), journal.end(), [](const std::wstring& line) { return line.starts_with(L"execute "); });
        EXPECT_EQ(countContaining(package.texts(kInfo), L"Tarvo custom action start"), static_cast<size_t>(executed));
        if (c.actions.empty()) {
            EXPECT_TRUE(package.messages().empty());
        }
    }
}
