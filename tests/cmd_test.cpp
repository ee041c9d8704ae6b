// The Cmd action through real installer sessions and the product DLL: the command's output line by line in
// the installer log, the exit codes, reboot requests from immediate and deferred stages, and the masking of
// secrets in every line and message while the command gets the real values.
#include <gtest/gtest.h>

#include <psapi.h>

#include <atomic>
#include <optional>
#include <thread>

#include "actions/cmd.h"
#include "engine/reboot.h"
#include "msi/vmsi.h"
#include "runtime/errors/codepage.h"
#include "runtime/process/command.h"
#include "tests/childprocess.h"
#include "tests/msisession.h"
#include "tests/testutil.h"

namespace {

// The test package's product code names the request.
const std::wstring cmdRebootAtom = L"TarvoCA.RebootRequest.{6F0C1A53-3A8E-4C38-9F1E-7B1D2A9C0001}";

std::wstring child(const std::wstring& arguments) { return quoteArgument(childProgram()) + L" " + arguments; }

bool rebootScheduled(const MsiSession& package) { return ::MsiGetMode(package.handle(), MSIRUNMODE_REBOOTATEND); }

void dropRebootRequests() {
    while (const ATOM atom = ::GlobalFindAtomW(cmdRebootAtom.c_str()))
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

size_t cmdWorkingSet() {
    PROCESS_MEMORY_COUNTERS counters{};
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters);
    return counters.WorkingSetSize;
}

}  // namespace

TEST_F(CmdRows, OutputInLargeBlocksKeepsEveryLineAndSkipsBlankOnes) {
    MsiSession package;
    EXPECT_EQ(runPostinstall(package, actionXml(L"Cmd", child(L"--lines 3000 --bytes \"\\r\\n\\n\\rtail\""), L"Many")), 0u);
    const std::vector<std::wstring> log = package.texts(kInfo);
    const auto output = std::find(log.begin(), log.end(), L"Output:");
    ASSERT_NE(output, log.end());
    ASSERT_GE(log.end() - output, 3003);
    for (int i = 1; i <= 3000; ++i) ASSERT_EQ(output[i], L"line " + std::to_wstring(i));
    EXPECT_EQ(output[3001], L"tail");  // the blank lines in between log nothing; the unended last line is logged
    EXPECT_EQ(output[3002], L"Action 'Many' finished successfully");
}

// A failure's message keeps the output's line breaks; an exception status shows as a signed number; a restart
// the command started itself asks for no second one.
TEST_F(CmdRows, ExitCodesDecideTheOutcome) {
    const struct {
        const wchar_t* arguments;
        const wchar_t* critical;
        UINT stage;
        unsigned kind;
        std::wstring line;
        bool reboot;
    } cases[] = {
        {L"--exit 0", L"1", 0, kInfo, L"Action 'R' finished successfully", false},
        {L"--out one --err two --exit 1", L"0", 0, kWarning, L"Non-critical action 'R' failed:\nCommand " +
             child(L"--out one --err two --exit 1") + L" failed with code 1. Output: one\r\ntwo\r\n\n", false},
        {L"--crash", L"0", 0, kWarning, L"failed with code -1073741819. Output: \n", false},  // 0xC0000005
        {L"--exit 1641", L"1", 0, kInfo, L"Action 'R': the command initiated a restart (exit code 1641)", false},
        {L"--exit 2", L"1", 1603, kError, L"Critical action 'R' failed:\nCommand " + child(L"--exit 2") +
             L" failed with code 2. Output: \n\n   at (CmdAction::Commit line ", false},
        {L"--exit 1703", L"1", 0, kInfo, L"Action 'R' request a reboot", true},
        {L"--exit 3010", L"1", 0, kInfo, L"Action 'R' request a reboot", true},
    };
    std::optional<MsiSession> package;
    for (const auto& c : cases) {
        if (!package || c.reboot) package.emplace();  // a scheduled reboot stays scheduled in its session
        package->clearMessages();
        EXPECT_EQ(runPostinstall(*package, actionXml(L"Cmd", child(c.arguments), L"R", c.critical)), c.stage) << c.arguments;
        EXPECT_TRUE(anyContains(package->texts(c.kind), c.line)) << c.arguments << "\n" << package->log();
        EXPECT_EQ(rebootScheduled(*package), c.reboot) << c.arguments;  // through the installer's ScheduleReboot
    }
}

// The scheduling of a deferred stage's request is shown by the end-to-end installation; a request nobody took
// up is dropped when the next installation prepares its scripts.
TEST_F(CmdRows, ARebootRequestOfAnEarlierInstallationIsDropped) {
    MsiSession package;
    ::GlobalAddAtomW(cmdRebootAtom.c_str());
    {
        vmsi session(package.handle());
        forgetRecordedReboot(session);
        EXPECT_FALSE(scheduleRecordedReboot(session));
    }
    EXPECT_FALSE(rebootScheduled(package));
    EXPECT_TRUE(anyContains(package.texts(kInfo), L"A reboot request of an earlier installation is dropped"));
}

TEST_F(CmdRows, AProcessTheCommandLeftHoldingItsOutputDoesNotHoldTheStage) {
    MsiSession package;
    const std::wstring command = child(L"--spawn 15000 --out started");
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_EQ(runPostinstall(package, actionXml(L"Cmd", command, L"Daemon")), 0u);
    EXPECT_LT(::GetTickCount64() - start, 8000u);  // the grace, not the helper's 15 s
    const std::vector<std::wstring> log = package.texts(kInfo);
    EXPECT_TRUE(std::find(log.begin(), log.end(), L"started") != log.end());
    EXPECT_TRUE(anyContains(log, L"Warning: The command " + command + L" has ended, but a process it started still holds"));
}

TEST_F(CmdRows, OutputWithoutLineBreaksIsLoggedInPiecesAndOnlyItsEndIsKept) {
    MsiSession package;
    CountingSession session(package.handle());
    const size_t before = cmdWorkingSet();
    std::atomic<bool> done{false};
    std::atomic<size_t> peak{before};
    std::thread sampler([&] {
        for (; !done; ::Sleep(5)) peak = std::max(peak.load(), cmdWorkingSet());
    });
    const Failure failure =
        failureOf([&] { CmdAction(L"Flood", child(L"--fill 128 --out end --exit 1")).execute(session); });
    done = true;
    sampler.join();
    const size_t grown = peak - before;
    std::wcout << L"[ memory   ] 128 MiB of output: the working set grew by at most " << (grown >> 20) << L" MiB\n";
    EXPECT_LT(grown, size_t{200} << 20);  // the 16 MiB kept, its text and the failure message: not the output
    EXPECT_EQ(session.longest, maxLineBytes);
    EXPECT_EQ(session.lines, 2 + (size_t{128} << 20) / maxLineBytes + 1);  // "Execute", "Output:", the pieces, "end"
    EXPECT_TRUE(contains(failure.message,
                         L"failed with code 1. Output: (the first bytes are left out; the last 16 MiB follow)\nxxx"));
    EXPECT_TRUE(contains(failure.message, L"xxxxend\r\n"));
    EXPECT_LT(failure.message.size(), size_t{17} << 20);
}

// The command gets the real values; every line and message shows them masked, also a secret that the cut of
// a line without blanks splits, in both pieces.
TEST_F(CmdRows, SecretsAreMaskedEverywhereWhileTheCommandGetsThem) {
    ScopedDebugLogging debug(true);
    const std::wstring record = tempDirectory() + L"\\cmdline.txt";
    const std::wstring secrets[] = {L"Se1-lower", L"Se2-Mixed", L"Se3-upper", L"Se4-pwd", L"Se5-conn"};
    const std::string longLine = std::string(maxLineBytes - 20, 'a') + "password=" + std::string(100, 'S');
    const std::wstring command =
        child(L"--bytes " + wstr(longLine) + L"\\r\\n --record " + quoteArgument(record) + L" --echo -password=" +
              secrets[0] + L" -Password=" + secrets[1] + L" /DBPASSWORD=" + secrets[2] + L" pwd=" + secrets[3] +
              L" --out \"Server=db;PWD=" + secrets[4] + L";Database=x\" --exit 1");
    MsiSession package;
    EXPECT_EQ(runPostinstall(package, actionXml(L"Cmd", command, L"Secret row")), 1603u);

    const std::string received = readBytes(record);
    for (const std::wstring& secret : secrets) {
        EXPECT_TRUE(contains(wstr(received, CP_UTF8), secret)) << cstr(secret);  // the child had them all
        for (const InstallerMessage& m : package.messages())
            EXPECT_FALSE(contains(m.text, secret)) << cstr(secret) << " in " << cstr(m.text, CP_UTF8);
    }
    // The line as it ran, with only the secrets cut out (the masking's own tests have every form).
    EXPECT_TRUE(contains(package.log(), L" --echo -password=* -Password=* /DBPASSWORD=* pwd=* --out \"Server=db;PWD=*;"
                                        L"Database=x\" --exit 1"));
    EXPECT_EQ(package.texts(kError).size(), 1u);
    const std::vector<std::wstring> lines = package.texts(kInfo);
    EXPECT_NE(std::find(lines.begin(), lines.end(), L"*"), lines.end()) << "the second piece, the secret's rest";
    EXPECT_FALSE(contains(package.log(), L"SSS"));
}
