// Stage entry points and the execution engine, through real installer sessions and the product DLL. (The
// e2e critical-failure scenario shows a critical failure through msiexec; hostilescripts_test shows that a
// refused script runs nothing and that no planted password reaches a message.)
#include <gtest/gtest.h>

#include "engine/executor.h"
#include "msi/vmsi.h"
#include "runtime/threads/cancelation.h"
#include "tests/msisession.h"
#include "tests/testutil.h"

// The failure names the stage and the likely cause (for a commit stage called as an immediate action, its
// type), after the script line.
TEST(StageScripts, AnEmptyOrAbsentScriptFailsTheStageNamingTheCause) {
    MsiSession package;
    EXPECT_EQ(package.call("OnStagePreinstall"), 1603u);
    const std::vector<std::wstring> log = package.texts(kInfo), errors = package.texts(kError);
    ASSERT_EQ(errors.size(), 1u);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), L"Performing pre-installation actions: Action_OnStagePreinstall = ");
    EXPECT_EQ(log.back(), errors[0]);
    EXPECT_TRUE(contains(errors[0], L"The stage 'Performing pre-installation actions' found no script in the property "
                                    L"Action_OnStagePreinstall: PrepareTarvoCustomActions did not run before it"))
        << errors[0];
    package.clearMessages();
    EXPECT_EQ(package.call("OnStagePrecommit"), 1603u);
    ASSERT_EQ(package.texts(kError).size(), 1u);
    EXPECT_TRUE(contains(package.texts(kError)[0],
                         L"found no script in the property CustomActionData: OnStagePrecommit runs as an immediate "
                         L"action, which gets no CustomActionData: its custom action type must make it a commit "
                         L"action (3585;"))
        << package.texts(kError)[0];
    package.clearMessages();
    package.setProperty(L"Action_OnStagePostinstall", L"<actionslist uilevel=\"5\"/>");
    EXPECT_EQ(package.call("OnStagePostinstall"), 0u);
    EXPECT_EQ(package.log(),
              L"Performing post-installation actions: Action_OnStagePostinstall = <actionslist uilevel=\"5\"/>\n");
}

namespace {

// An action whose steps the test gives: "ok", "fail" (a vexception), "undo", "int", "std", "seh" (other kinds
// thrown), "cancel" (the engine's cancellation point cancelled) or "quit" (the user answers Cancel from now on);
// it notes each step in the journal.
class ScriptedAction : public Action {
public:
    ScriptedAction(std::wstring text, bool critical, std::string onExecute, std::string onRollback,
                   std::vector<std::wstring>& journal, MsiSession& package)
        : Action(std::move(text)), onExecute_(std::move(onExecute)), onRollback_(std::move(onRollback)), journal_(journal),
          package_(package) {
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
        if (how == "quit") package_.setAnswer(IDCANCEL);
    }
    std::string onExecute_, onRollback_;
    std::vector<std::wstring>& journal_;
    MsiSession& package_;
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
    int result;                                // 0, 1602, 1603, or -1 for the cancellation passed on
    std::vector<std::wstring> journal;
    size_t errors;
    std::vector<std::wstring> warnings;  // what each warning holds
};

}  // namespace

// Rollback covers every action that ran before the critical failure (failed non-critical ones too), in
// reverse order; its own failures are warnings; a cancellation rolls back, then passes on; the user's Cancel
// rolls back what ran and ends the stage with 1602. The dialog shows each step the journal notes.
TEST(StageScripts, RollbackOrderAndOutcomeOfEveryKindOfRun) {
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
        {"the user cancels: what ran is rolled back", {Step{L"a", true}, Step{L"b", true, "quit"}, Step{L"c", true}}, 1602,
         {L"execute a", L"execute b", L"rollback b", L"rollback a"}, 0, {}},
    };
    for (const EngineCase& c : cases) {
        SCOPED_TRACE(c.name);
        MsiSession package;
        vmsi session(package.handle());
        ActionList actions;
        std::vector<std::wstring> journal, shown;
        for (const auto& step : c.actions)
            actions.push_back(step ? std::make_unique<ScriptedAction>(step->text, step->critical, step->onExecute,
                                                                      step->onRollback, journal, package)
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
            std::count_if(journal.begin(), journal.end(), [](const auto& l) { return l.starts_with(L"execute "); });
        EXPECT_EQ(countContaining(package.texts(kInfo), L"Tarvo custom action start"), static_cast<size_t>(executed));
        EXPECT_TRUE(!c.actions.empty() || package.messages().empty());
    }
}
