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

// Message kinds and texts with the times of day replaced by "T".
std::vector<std::wstring> transcript(const MsiSession& package) {
    static const std::wregex time(L"\\d\\d:\\d\\d:\\d\\d");
    std::vector<std::wstring> lines;
    for (const InstallerMessage& m : package.messages()) {
        // Each row's progress (the bar set to move by its ticks with its text, then stopped) has a test of its own.
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
        package.setProperty(L"Action_OnStagePostinstall", script);
        return package.call("OnStagePostinstall");
    }
    std::wstring registryAction(const std::wstring& value, const std::wstring& text, const std::wstring& critical = L"1") {
        return actionXml(L"WriteRegistryDWORD", L"LM," + key.subkey() + L"," + value + L",7", text, critical);
    }
    std::wstring failingAction(const std::wstring& text, const std::wstring& critical = L"1") {
        return actionXml(L"FormBINDKey", L"C:\\tarvo-missing\\rndc.conf,C:\\tarvo-missing\\rndc.key", text, critical);
    }
    bool written(const std::wstring& value) {
        DWORD data = 0;
        return key.readDword(value, data, KEY_WOW64_32KEY);
    }

    MsiSession package;
    ScopedTestKey key{L"engine"};
};

}  // namespace

// The failure names the stage and the likely cause: for a commit stage called as an immediate action, its type.
TEST_F(StageScripts, AnEmptyOrAbsentScriptFailsTheStage) {
    EXPECT_EQ(package.call("OnStagePreinstall"), 1603u);
    EXPECT_EQ(package.call("OnStagePrecommit"), 1603u);
    const std::vector<std::wstring> errors = package.texts(kError);
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_TRUE(contains(errors[0], L"The stage 'Performing pre-installation actions' found no script in the property "
                                    L"Action_OnStagePreinstall: PrepareTarvoCustomActions did not run before it"))
        << errors[0];
    EXPECT_TRUE(contains(errors[0], L"Performing pre-installation actions (_ExecuteActionScript line")) << errors[0];
    EXPECT_TRUE(contains(errors[1], L"found no script in the property CustomActionData: OnStagePrecommit runs as an "
                                    L"immediate action, which gets no CustomActionData: its custom action type must "
                                    L"make it a commit action (3585;"))
        << errors[1];
}

TEST_F(StageScripts, AnEmptyListLogsOnlyTheScriptLine) {
    EXPECT_EQ(runPostinstall(L"<actionslist uilevel=\"5\"/>"), 0u);
    EXPECT_EQ(transcript(package), (std::vector<std::wstring>{
                                       L"log: Performing post-installation actions: Action_OnStagePostinstall = "
                                       L"<actionslist uilevel=\"5\"/>"}));
}

TEST_F(StageScripts, ACriticalFailureRollsBackTheEarlierActionsOnly) {
    const UINT result = runPostinstall(
        scriptXml(registryAction(L"one", L"First") + failingAction(L"Second") + registryAction(L"three", L"Third")));
    EXPECT_EQ(result, 1603u);
    const std::vector<std::wstring> lines = transcript(package);
    ASSERT_GE(lines.size(), 10u);
    EXPECT_EQ(lines[1], L"log: Tarvo custom action start T: First");
    EXPECT_EQ(lines[2], L"log: Action 'First' finished successfully");
    EXPECT_EQ(lines[3], L"log: Tarvo custom action ended T: First");
    EXPECT_EQ(lines[4], L"log: Tarvo custom action start T: Second");
    EXPECT_TRUE(lines[5].rfind(L"log: Critical action 'Second' failed:\n", 0) == 0) << lines[5];
    EXPECT_TRUE(contains(lines[5], L"C:\\tarvo-missing\\rndc.key")) << lines[5];
    EXPECT_TRUE(contains(lines[5], L"Execute action Second(executeList line")) << lines[5];
    EXPECT_EQ(lines[6], L"error: " + lines[5].substr(5));
    EXPECT_EQ(lines[7], L"log: Tarvo custom action ended T: Second");
    size_t next = 8;
    if (LogManager::isDebugEnabled()) {
        EXPECT_EQ(lines[next++], L"log: Warning: Rollback stage is initiated");
    }
    ASSERT_EQ(lines.size(), next + 3) << "the third action never starts";
    EXPECT_EQ(lines[next++], L"data: Rollback action:First");
    EXPECT_EQ(lines[next++], L"progress: 2,1");
    EXPECT_TRUE(lines[next].starts_with(L"log: Rollback: registry value ")) << lines[next];
    EXPECT_TRUE(contains(lines[next], L"one (32-bit view)', which the action created, is removed")) << lines[next];
    EXPECT_FALSE(written(L"one")) << "undone by the rollback";
    EXPECT_FALSE(written(L"three"));
}

TEST_F(StageScripts, ANonCriticalFailureWarnsAndTheStageGoesOn) {
    EXPECT_EQ(runPostinstall(scriptXml(failingAction(L"Optional", L"0") + registryAction(L"after", L"After"))), 0u);
    const std::vector<std::wstring> warnings = package.texts(kWarning);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_TRUE(warnings[0].rfind(L"Non-critical action 'Optional' failed:\n", 0) == 0) << warnings[0];
    EXPECT_TRUE(package.texts(kError).empty());
    EXPECT_TRUE(written(L"after"));
}

TEST_F(StageScripts, BadScriptsFailBeforeAnyActionRuns) {
    for (const std::wstring& bad : {actionXml(L"NoSuchType", L"x", L"Unknown"),
                                    actionXml(L"WriteRegistryDWORD", L"lm,a,b,1", L"Bad root")}) {
        package.clearMessages();
        EXPECT_EQ(runPostinstall(scriptXml(registryAction(L"before", L"Before") + bad)), 1603u);
        EXPECT_FALSE(anyContains(package.texts(kInfo), L"Tarvo custom action start"));
        EXPECT_EQ(package.texts(kError).size(), 1u);
        EXPECT_FALSE(written(L"before"));
    }
    EXPECT_TRUE(contains(package.texts(kError)[0], L"Invalid registry root lm at call WriteRegistryDWORD"));
}

TEST_F(StageScripts, APasswordReachesTheLogOnlyMasked) {
    const std::wstring password = L"Pa55-w0rd!";
    const std::wstring script =
        scriptXml(actionXml(L"FormBINDKey", L"C:\\x\\out.conf,C:\\x\\key -password=" + password + L" more", L"Key", L"0"));
    EXPECT_EQ(runPostinstall(script), 0u);
    const std::vector<std::wstring> info = package.texts(kInfo);
    ASSERT_FALSE(info.empty());
    EXPECT_EQ(info[0], L"Performing post-installation actions: Action_OnStagePostinstall = <actionslist uilevel=\"5\">"
                       L"<action type=\"FormBINDKey\" parameters=\"C:\\x\\out.conf,C:\\x\\key -password=* more\" "
                       L"text=\"Key\" critical=\"0\"/></actionslist>");
    // The unmasked script is what runs (the failure names the real file), but its report is masked too.
    const std::vector<std::wstring> warnings = package.texts(kWarning);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_TRUE(contains(warnings[0], L"the key file 'C:\\x\\key -password=*")) << warnings[0];
    for (const InstallerMessage& m : package.messages()) EXPECT_FALSE(contains(m.text, password)) << m.text.size();
}

TEST_F(StageScripts, ABrokenScriptIsQuotedOnlyMasked) {
    const std::wstring password = L"Br0ken-Secret";
    const std::wstring script = L"<actionslist uilevel=\"5\"><action type=\"Cmd\" parameters=\"db -password=" +
                                password + L" -q\" text=\"t\"></actionslist>";
    EXPECT_EQ(runPostinstall(script), 1603u);
    const std::vector<std::wstring> errors = package.texts(kError);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_TRUE(contains(errors[0], L"at load xml <actionslist uilevel=\"5\"><action type=\"Cmd\" parameters=\"db "
                                    L"-password=* -q\" text=\"t\"></actionslist> in line "))  // Wine reports line 0
        << errors[0];
    for (const InstallerMessage& m : package.messages()) EXPECT_FALSE(contains(m.text, password)) << m.text.size();
    EXPECT_FALSE(contains(package.log(), password));
}

TEST_F(StageScripts, AnEmptyOrNonNumericUiLevelStillRuns) {
    EXPECT_EQ(runPostinstall(scriptXml(registryAction(L"empty", L"Empty"), L"")), 0u);
    EXPECT_EQ(runPostinstall(scriptXml(registryAction(L"letters", L"Letters"), L"abc")), 0u);
    EXPECT_EQ(runPostinstall(L"<actionslist>" + registryAction(L"absent", L"Absent") + L"</actionslist>"), 0u);
    EXPECT_TRUE(written(L"empty"));
    EXPECT_TRUE(written(L"letters"));
    EXPECT_TRUE(written(L"absent"));
}

TEST_F(StageScripts, DeferredStagesReadCustomActionData) {
    package.setProperty(L"CustomActionData", scriptXml(registryAction(L"deferred", L"Deferred")));
    package.setProperty(L"Action_OnStagePostinstall", L"not xml");
    EXPECT_EQ(package.call("OnStageNormal"), 0u);
    EXPECT_TRUE(anyContains(package.texts(kInfo), L"Reconfiguring installed components: CustomActionData = "));
    EXPECT_EQ(package.call("OnStagePrecommit"), 0u);
    EXPECT_TRUE(anyContains(package.texts(kInfo), L"Finishing configuration of installed components: CustomActionData"));
    EXPECT_TRUE(written(L"deferred"));
}

namespace {

// An action whose steps are given by the test.
class ScriptedAction : public Action {
public:
    ScriptedAction(std::wstring text, bool critical, std::function<void()> onExecute,
                   std::function<void()> onRollback, std::vector<std::wstring>& journal)
        : Action(std::move(text)), onExecute_(std::move(onExecute)), onRollback_(std::move(onRollback)), journal_(journal) {
        setCritical(critical);
    }
    void execute(vmsi&) override {
        journal_.push_back(L"execute " + getText());
        if (onExecute_) onExecute_();
    }
    void rollback(vmsi&) override {
        journal_.push_back(L"rollback " + getText());
        if (onRollback_) onRollback_();
    }

private:
    std::function<void()> onExecute_, onRollback_;
    std::vector<std::wstring>& journal_;
};

void fail() { throw vexception(L"planned failure"); }

// Requests the cancellation of the point the engine opened around the running step.
void cancelHere() { ThreadCancelation::CancelationPoint::current()->cancel(); }

class Engine : public ::testing::Test {
protected:
    void add(const wchar_t* text, bool critical, std::function<void()> onExecute = {}, std::function<void()> onRollback = {}) {
        actions.push_back(std::make_unique<ScriptedAction>(text, critical, onExecute, onRollback, journal));
    }
    UINT run() { return executeList(session, 5, actions, L"stage"); }

    MsiSession package;
    vmsi session{package.handle()};
    ActionList actions;
    std::vector<std::wstring> journal;
};

}  // namespace

TEST_F(Engine, AnEmptyListSendsNothing) {
    EXPECT_EQ(run(), 0u);
    EXPECT_TRUE(package.messages().empty());
}

TEST_F(Engine, RollbackCoversFailedNonCriticalActionsInReverseOrder) {
    add(L"a", true);
    add(L"b", false, fail);
    add(L"c", true, fail);
    add(L"d", true);
    EXPECT_EQ(run(), 1603u);
    EXPECT_EQ(journal, (std::vector<std::wstring>{L"execute a", L"execute b", L"execute c", L"rollback b", L"rollback a"}));
    EXPECT_EQ(package.texts(kActionData),
              (std::vector<std::wstring>{L"a", L"b", L"c", L"Rollback action:b", L"Rollback action:a"}));
    EXPECT_EQ(package.texts(kWarning).size(), 1u);
    EXPECT_EQ(package.texts(kError).size(), 1u);
}

TEST_F(Engine, AFirstCriticalFailureHasNothingToRollBack) {
    add(L"a", true, fail);
    add(L"b", true);
    EXPECT_EQ(run(), 1603u);
    EXPECT_EQ(journal, (std::vector<std::wstring>{L"execute a"}));
    EXPECT_EQ(package.texts(kActionData), (std::vector<std::wstring>{L"a"}));
}

TEST_F(Engine, ANullEntryStopsTheRunWithoutAMessageOfItsOwn) {
    add(L"a", true);
    actions.push_back(nullptr);
    add(L"c", true);
    EXPECT_EQ(run(), 1603u);
    EXPECT_EQ(journal, (std::vector<std::wstring>{L"execute a", L"rollback a"}));
    EXPECT_TRUE(package.texts(kError).empty());
    EXPECT_EQ(countContaining(package.texts(kInfo), L"Tarvo custom action start"), 1u);
}

TEST_F(Engine, RollbackFailuresAreWarningsAndDoNotStopTheRollback) {
    add(L"a", true);
    add(L"b", true, {}, [] { throw std::runtime_error("undo failed"); });
    add(L"c", true, fail);
    EXPECT_EQ(run(), 1603u);
    EXPECT_EQ(journal, (std::vector<std::wstring>{L"execute a", L"execute b", L"execute c", L"rollback b", L"rollback a"}));
    const std::vector<std::wstring> warnings = package.texts(kWarning);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_TRUE(warnings[0].rfind(L"Error in rollback action b: undo failed\n   at Rollback action b(executeList line", 0) == 0)
        << warnings[0];
}

TEST_F(Engine, AnyExceptionKindIsAFailureOfThatAction) {
    add(L"int", false, [] { throw 7; });
    add(L"std", false, [] { throw std::out_of_range("range"); });
    add(L"structured", false, [] { throw cwrpexception{0xC0000005}; });
    EXPECT_EQ(run(), 0u);
    const std::vector<std::wstring> warnings = package.texts(kWarning);
    ASSERT_EQ(warnings.size(), 3u);
    EXPECT_TRUE(contains(warnings[0], L"failed:\nUnexpected error\n   at Execute action int(executeList line"));
    EXPECT_TRUE(contains(warnings[1], L"failed:\nrange\n"));
    EXPECT_TRUE(contains(warnings[2], L"failed:\nC structured exception: 0xc0000005\n"));
}

TEST_F(Engine, ACancelledActionRollsBackTheEarlierOnesAndPassesTheCancellationOn) {
    add(L"a", true);
    add(L"b", false, cancelHere);
    add(L"c", true);
    EXPECT_THROW(run(), ThreadCancelation::ThreadCanceled);
    EXPECT_EQ(journal, (std::vector<std::wstring>{L"execute a", L"execute b", L"rollback a"}));
    EXPECT_EQ(package.texts(kActionData), (std::vector<std::wstring>{L"a", L"b", L"Rollback action:a"}));
    EXPECT_TRUE(package.texts(kError).empty());
    EXPECT_TRUE(package.texts(kWarning).empty());
}

TEST_F(Engine, ACancellationDuringRollbackFinishesTheRollbackThenPassesOn) {
    add(L"a", true);
    add(L"b", true, {}, cancelHere);
    add(L"c", true, fail);
    EXPECT_THROW(run(), ThreadCancelation::ThreadCanceled);
    EXPECT_EQ(journal, (std::vector<std::wstring>{L"execute a", L"execute b", L"execute c", L"rollback b", L"rollback a"}));
    EXPECT_TRUE(package.texts(kWarning).empty());  // a cancellation is no failure of the rollback
    EXPECT_EQ(package.texts(kError).size(), 1u);
}
