// The Cmd action through real installer sessions and the product DLL: the command's output line by line in
// the installer log, the exit codes, reboot requests from immediate and deferred stages, and the masking of
// secrets in every line and message while the command gets the real values.
#include <gtest/gtest.h>

#include <windows.h>
#include <psapi.h>

#include <atomic>
#include <regex>
#include <thread>

#include "actions/cmd.h"
#include "engine/reboot.h"
#include "msi/vmsi.h"
#include "runtime/errors/codepage.h"
#include "runtime/process/command.h"
#include "tests/childprocess.h"
#include "tests/mgmtservice.h"
#include "tests/msisession.h"
#include "tests/testutil.h"

namespace {

const std::wstring productCode = L"{6F0C1A53-3A8E-4C38-9F1E-7B1D2A9C0001}";  // the test package's
const std::wstring rebootAtom = L"TarvoCA.RebootRequest." + productCode;

std::wstring child(const std::wstring& arguments) { return quoteArgument(childProgram()) + L" " + arguments; }

// The installer's log lines and messages, the times of day as "T".
std::vector<std::wstring> lines(const MsiSession& package) {
    static const std::wregex time(L"\\d\\d:\\d\\d:\\d\\d");
    std::vector<std::wstring> result;
    for (const InstallerMessage& m : package.messages()) {
        if (m.kind() == kActionData || m.kind() == kProgress) continue;  // the dialog's, tested with the stages
        const wchar_t* kind = m.kind() == kInfo ? L"" : m.kind() == kError ? L"error: " : L"warning: ";
        result.push_back(kind + std::regex_replace(m.text, time, L"T"));
    }
    return result;
}

bool rebootScheduled(const MsiSession& package) { return ::MsiGetMode(package.handle(), MSIRUNMODE_REBOOTATEND); }

void dropRebootRequests() {
    while (const ATOM atom = ::GlobalFindAtomW(rebootAtom.c_str()))
        if (::GlobalDeleteAtom(atom) != 0) break;
}

// One installer session at a time: the sessions share the captured messages and the external UI handler.
class CmdRows : public ::testing::Test {
protected:
    void SetUp() override { dropRebootRequests(); }
    void TearDown() override { dropRebootRequests(); }

    static UINT runPostinstall(MsiSession& package, const std::wstring& actions) {
        package.setProperty(L"Action_OnStagePostinstall", scriptXml(actions));
        return package.call("OnStagePostinstall");
    }
};

// A deferred custom action's session as Windows has it: no installer actions.
class DeferredSession : public vmsi {
public:
    using vmsi::vmsi;
    bool isDeferred() const override { return true; }
    void DoAction(const std::wstring& action) override {
        throw vexception(L"DoAction(" + action + L") is not allowed in a deferred action");
    }
};

}  // namespace

TEST_F(CmdRows, OutputInLargeBlocksKeepsEveryLineAndSkipsBlankOnes) {
    MsiSession package;
    EXPECT_EQ(runPostinstall(package, actionXml(L"Cmd", child(L"--lines 3000 --bytes \"\\r\\n\\n\\rtail\""), L"Many")), 0u);
    const std::vector<std::wstring> log = lines(package);
    const auto output = std::find(log.begin(), log.end(), L"Output:");
    ASSERT_NE(output, log.end());
    ASSERT_GE(log.end() - output, 3003);
    for (int i = 1; i <= 3000; ++i) ASSERT_EQ(output[i], L"line " + std::to_wstring(i));
    EXPECT_EQ(output[3001], L"tail");  // the blank lines in between log nothing; the unended last line is logged
    EXPECT_EQ(output[3002], L"Action 'Many' finished successfully");
}

TEST_F(CmdRows, ExitCodesDecideTheOutcome) {
    {
        MsiSession package;
        EXPECT_EQ(runPostinstall(package, actionXml(L"Cmd", child(L"--exit 0"), L"Zero") +
                                              actionXml(L"Cmd", child(L"--out one --err two --exit 1"), L"One", L"0") +
                                              actionXml(L"Cmd", child(L"--crash"), L"Crash", L"0") +
                                              actionXml(L"Cmd", child(L"--exit 2"), L"Two")),
                  1603u);
        const std::vector<std::wstring> log = lines(package);
        EXPECT_TRUE(anyContains(log, L"Action 'Zero' finished successfully"));
        // The output keeps its line breaks in the message; an exception status shows as a signed number.
        EXPECT_TRUE(anyContains(log, L"warning: Non-critical action 'One' failed:\nCommand " + child(L"--out one --err two --exit 1") +
                                         L" failed with code 1. Output: one\r\ntwo\r\n\n"));
        EXPECT_TRUE(anyContains(log, L"warning: Non-critical action 'Crash' failed:\nCommand " + child(L"--crash") +
                                         L" failed with code -1073741819. Output: \n"));  // 0xC0000005
        EXPECT_TRUE(anyContains(log, L"error: Critical action 'Two' failed:\nCommand " + child(L"--exit 2") +
                                         L" failed with code 2. Output: \n\n   at (CmdAction::Commit line "));
        EXPECT_FALSE(rebootScheduled(package));
    }
    {
        MsiSession package;  // a restart the command started itself: success, and no second reboot
        EXPECT_EQ(runPostinstall(package, actionXml(L"Cmd", child(L"--exit 1641"), L"Restarting")), 0u);
        EXPECT_TRUE(anyContains(lines(package), L"Action 'Restarting': the command initiated a restart (exit code 1641)"));
        EXPECT_TRUE(anyContains(lines(package), L"Action 'Restarting' finished successfully"));
        EXPECT_FALSE(rebootScheduled(package));
    }
    MsiSession package;
    EXPECT_EQ(runPostinstall(package, actionXml(L"Cmd", child(L"--exit 1703"), L"Reboot 1703") +
                                          actionXml(L"Cmd", child(L"--exit 3010"), L"Reboot 3010")),
              0u);
    const std::vector<std::wstring> log = lines(package);
    for (const wchar_t* text : {L"Reboot 1703", L"Reboot 3010"}) {
        EXPECT_TRUE(anyContains(log, L"Action '" + std::wstring(text) + L"' request a reboot"));
        EXPECT_TRUE(anyContains(log, L"Action '" + std::wstring(text) + L"' finished successfully"));
    }
    EXPECT_TRUE(rebootScheduled(package));  // through the installer's ScheduleReboot
}

TEST_F(CmdRows, ADeferredStageLeavesTheRebootToTheNextImmediateOne) {
    {  // 3010 from a deferred stage: the end-to-end installation
        MsiSession install;
        {
            DeferredSession deferred(install.handle());
            CmdAction action(L"Deferred row", child(L"--exit 1703"));
            action.execute(deferred);  // no DoAction here: Windows refuses it in deferred actions
        }
        // The request's own line follows the row's, not the command's output.
        const std::vector<std::wstring> log = lines(install);
        const auto request = std::find(log.begin(), log.end(), L"Action 'Deferred row' request a reboot");
        ASSERT_NE(request, log.end());
        EXPECT_EQ(request[1], L"The reboot is scheduled by the next immediate stage of the installation");
        EXPECT_FALSE(rebootScheduled(install));
        EXPECT_NE(::GlobalFindAtomW(rebootAtom.c_str()), 0);

        // The post-installation stage, immediate, finds the request and schedules the reboot once.
        EXPECT_EQ(runPostinstall(install, L""), 0u);
        EXPECT_TRUE(rebootScheduled(install));
        EXPECT_TRUE(anyContains(lines(install), L"Scheduling the reboot that a deferred action requested"));
        EXPECT_EQ(::GlobalFindAtomW(rebootAtom.c_str()), 0);
    }
    // A request nobody took up is dropped when the next installation prepares its scripts.
    MsiSession package;
    ::GlobalAddAtomW(rebootAtom.c_str());
    {
        vmsi session(package.handle());
        forgetRecordedReboot(session);
        EXPECT_FALSE(scheduleRecordedReboot(session));
    }
    EXPECT_FALSE(rebootScheduled(package));
    EXPECT_TRUE(anyContains(lines(package), L"A reboot request of an earlier installation is dropped"));
}

TEST_F(CmdRows, AProcessTheCommandLeftHoldingItsOutputDoesNotHoldTheStage) {
    MsiSession package;
    const std::wstring command = child(L"--spawn 15000 --out started");
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_EQ(runPostinstall(package, actionXml(L"Cmd", command, L"Daemon")), 0u);
    EXPECT_LT(::GetTickCount64() - start, 8000u);  // the grace, not the helper's 15 s
    const std::vector<std::wstring> log = lines(package);
    EXPECT_TRUE(std::find(log.begin(), log.end(), L"started") != log.end());
    EXPECT_TRUE(anyContains(log, L"Warning: The command " + command + L" has ended, but a process it started still holds"));
}

namespace {

// Counts the lines instead of keeping them, so that only the action's own memory shows.
class CountingSession : public vmsi {
public:
    using vmsi::vmsi;
    void logMessage(const std::wstring& text) override {
        ++lines;
        longest = std::max(longest, text.size());
    }
    size_t lines = 0;
    size_t longest = 0;
};

// The largest working set of the process while it lives, sampled.
class WorkingSetPeak {
public:
    WorkingSetPeak() : sampler_([this] {
        while (!done_) {
            peak_ = std::max(peak_.load(), current());
            ::Sleep(5);
        }
    }) {}
    ~WorkingSetPeak() { stop(); }
    size_t stop() {
        if (!done_.exchange(true)) sampler_.join();
        return peak_;
    }
    static size_t current() {
        PROCESS_MEMORY_COUNTERS counters{};
        ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters);
        return counters.WorkingSetSize;
    }

private:
    std::atomic<bool> done_{false};
    std::atomic<size_t> peak_{0};
    std::thread sampler_;
};

}  // namespace

TEST_F(CmdRows, OutputWithoutLineBreaksIsLoggedInPiecesAndOnlyItsEndIsKept) {
    MsiSession package;
    CountingSession session(package.handle());
    const size_t before = WorkingSetPeak::current();
    WorkingSetPeak peak;
    std::wstring failure;
    try {
        CmdAction(L"Flood", child(L"--fill 128 --out end --exit 1")).execute(session);
    } catch (const vexception& e) {
        failure = e.toString();
    }
    const size_t grown = peak.stop() - before;
    std::wcout << L"[ memory   ] 128 MiB of output: the working set grew by at most " << (grown >> 20) << L" MiB\n";
    EXPECT_LT(grown, size_t{200} << 20);  // the 16 MiB kept, its text and the failure message: not the output
    EXPECT_EQ(session.longest, maxLineBytes);
    EXPECT_EQ(session.lines, 2 + (size_t{128} << 20) / maxLineBytes + 1);  // "Execute", "Output:", the pieces, "end"
    EXPECT_TRUE(contains(failure, L"failed with code 1. Output: (the first bytes are left out; the last 16 MiB follow)\nxxx"));
    EXPECT_TRUE(contains(failure, L"xxxxend\r\n"));
    EXPECT_LT(failure.size(), size_t{17} << 20);
}

// A line without blanks is cut where it must be: a secret that the cut splits stays masked in both pieces.
TEST_F(CmdRows, ASecretSplitByTheCutOfALongLineIsMaskedInBothPieces) {
    MsiSession package;
    vmsi session(package.handle());
    const std::string line = std::string(maxLineBytes - 20, 'a') + "password=" + std::string(100, 'S');
    CmdAction(L"Long", child(L"--bytes " + wstr(line) + L" --exit 0")).execute(session);
    const std::vector<std::wstring> lines = package.texts(kInfo);
    EXPECT_NE(std::find(lines.begin(), lines.end(), L"*"), lines.end()) << "the second piece, the secret's rest";
    EXPECT_FALSE(contains(package.log(), L"SSS"));
}

TEST_F(CmdRows, SecretsAreMaskedEverywhereWhileTheCommandGetsThem) {
    ScopedDebugLogging debug(true);
    RecordedLog library;
    const std::wstring record = tempDirectory() + L"\\cmdline.txt";
    const std::wstring secrets[] = {L"Se1-lower", L"Se2-Mixed", L"Se3-upper", L"Se4-pwd", L"Se5-conn"};
    const std::wstring command =
        child(L"--record " + quoteArgument(record) + L" --echo -password=" + secrets[0] + L" -Password=" + secrets[1] +
              L" /DBPASSWORD=" + secrets[2] + L" pwd=" + secrets[3] + L" --out \"Server=db;PWD=" + secrets[4] +
              L";Database=x\" --exit 1");
    MsiSession package;
    EXPECT_EQ(runPostinstall(package, actionXml(L"Cmd", command, L"Secret row")), 1603u);

    const std::string received = readBytes(record);
    for (const std::wstring& secret : secrets) {
        EXPECT_TRUE(contains(wstr(received, CP_UTF8), secret)) << cstr(secret);  // the child had them all
        for (const InstallerMessage& m : package.messages())
            EXPECT_FALSE(contains(m.text, secret)) << cstr(secret) << " in " << cstr(m.text, CP_UTF8);
        for (const std::wstring& line : library.lines()) EXPECT_FALSE(contains(line, secret)) << cstr(line, CP_UTF8);
    }
    const std::vector<std::wstring> log = lines(package);
    EXPECT_TRUE(anyContains(log, L"Execute  " + quoteArgument(childProgram()) + L" --record"));
    // The line as it ran, with only the secrets cut out.
    EXPECT_TRUE(anyContains(log, L" --echo -password=* -Password=* /DBPASSWORD=* pwd=* --out \"Server=db;PWD=*;Database=x\" "
                                 L"--exit 1"));
    EXPECT_EQ(package.texts(kError).size(), 1u);
}

TEST(Masking, LibraryMessagesAreMaskedBeforeAnyLogGetsThem) {
    RecordedLog library;
    vlog(LogLevel::Error, L"connecting with -Password=Se6-lib to the database");
    EXPECT_TRUE(anyContains(library.lines(), L"Error: connecting with -Password=* to the database"));
}
