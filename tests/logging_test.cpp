// The log manager's sinks: the daily debug log file, the event-log registration, the debug switch, the
// installer session as a handler, and the execute context shared with the product DLL.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <regex>
#include <thread>
#include <tuple>

#include "msi/vmsi.h"
#include "runtime/logging/eventlog.h"
#include "runtime/logging/executecontext.h"
#include "runtime/logging/logfile.h"
#include "runtime/logging/logmanager.h"
#include "runtime/registry/registry.h"
#include "tests/msisession.h"
#include "tests/testutil.h"

namespace {

// A product root of its own with "admin\logs", and the configuration pointing at it.
class Logging : public ::testing::Test {
protected:
    Logging() : root(tempDirectory()), rootValue(L"PRODUCT_ROOT_D", root + L"\\"), enabledValue(L"log_debug_enabled", std::nullopt) {
        ::CreateDirectoryW((root + L"\\admin").c_str(), nullptr);
        ::CreateDirectoryW((root + L"\\admin\\logs").c_str(), nullptr);
    }

    std::wstring debugLogPath() const {
        SYSTEMTIME now;
        ::GetLocalTime(&now);
        wchar_t name[64];
        swprintf(name, 64, L"\\admin\\logs\\tarvolog_debug%04d%02d%02d.log", now.wYear, now.wMonth, now.wDay);
        return root + name;
    }
    // However many processes wrote the file, it starts with one byte-order mark and holds no other.
    void expectOneByteOrderMark() const {
        const std::string bytes = readBytes(debugLogPath());
        EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
        EXPECT_EQ(bytes.find("\xFF\xFE", 2), std::string::npos) << "a second byte-order mark";
    }
    // The file's lines without CR LF.
    std::vector<std::wstring> lines() const {
        const std::string bytes = readBytes(debugLogPath());
        std::wstring text(bytes.size() / 2, L'\0');
        std::memcpy(text.data(), bytes.data(), text.size() * 2);
        if (!text.empty() && text[0] == 0xFEFF) text.erase(0, 1);
        std::vector<std::wstring> result;
        for (size_t start = 0, end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2)
            result.push_back(text.substr(start, end - start));
        return result;
    }
    void log(LogLevel level, const std::wstring& text) { LogManager::instance().log(source, level, L"%s", text); }

    std::wstring root;
    ScopedConfigValue rootValue;
    ScopedConfigValue enabledValue;
    EventSource source{L"tarvo-tests"};
};

std::wstring helperProgram() { return programFolder() + L"\\tarvo_logwriter.exe"; }

const std::wregex stampedLine(L"(\\d{4})/(\\d\\d)/(\\d\\d) \\d\\d:\\d\\d:\\d\\d\\.\\d{3} (-?\\d+) (-?\\d+) (.*)");

std::wstring textOf(const std::wstring& line) {
    std::wsmatch m;
    return std::regex_match(line, m, stampedLine) ? m[6].str() : L"<malformed> " + line;
}

std::vector<std::wstring> textsOf(const std::vector<std::wstring>& lines) {
    std::vector<std::wstring> texts;
    for (const std::wstring& line : lines) texts.push_back(textOf(line));
    return texts;
}

}  // namespace

// Without Debug only errors and worse reach the file and the installer's log, with it every level does; secrets
// reach neither. The file's lines are stamped with time, process and thread after one byte-order mark.
TEST_F(Logging, LevelsReachTheFileAndTheInstallerLogByTheDebugSwitchMaskedAndStamped) {
    MsiSession package;
    vmsi session(package.handle());
    {
        ScopedDebugLogging debug(true);
        for (LogLevel level : {LogLevel::Info, LogLevel::Warning, LogLevel::Result})
            vlog(level, L"%s", std::wstring(L"on [x] 100% \u00e9"));
    }
    ScopedDebugLogging debug(false);
    for (LogLevel level : {LogLevel::Info, LogLevel::Warning, LogLevel::Result, LogLevel::Error, LogLevel::Unexpected,
                           LogLevel::Crash, static_cast<LogLevel>(7)})
        vlog(level, L"%s", std::wstring(L"off -pwd=S3cret"));
    const std::vector<std::wstring> written = lines();
    EXPECT_EQ(textsOf(written), (std::vector<std::wstring>{L"Info: on [x] 100% \u00e9", L"Warning: on [x] 100% \u00e9",
                                                           L"Result: on [x] 100% \u00e9", L"Error: off -pwd=*",
                                                           L"Unexpected: off -pwd=*", L"Crash: off -pwd=*",
                                                           L"Unknown level: off -pwd=*"}));
    EXPECT_EQ(package.log(), L"Info: on [x] 100% \u00e9\nWarning: on [x] 100% \u00e9\nResult: on [x] 100% \u00e9\n"
                             L"Error: off -pwd=*\nUnexpected: off -pwd=*\nCrash: off -pwd=*\nUnknown: off -pwd=*\n");
    expectOneByteOrderMark();
    std::wsmatch m;
    ASSERT_TRUE(std::regex_match(written[0], m, stampedLine)) << written[0];
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    EXPECT_EQ(std::stoi(m[1].str()), now.wYear);
    EXPECT_EQ(std::stoul(m[4].str()), ::GetCurrentProcessId());
    EXPECT_EQ(std::stoul(m[5].str()), ::GetCurrentThreadId());
}

TEST_F(Logging, AnExceptionIsWrittenRenderedAndAFailingSinkStopsOnlyItself) {
    struct Throwing : ILogHandler {
        void log(LogLevel, const std::wstring&) override { throw std::runtime_error("handler failed"); }
    } throwing;
    LogManager::instance().addHandler(&throwing);
    CapturedLog recording;
    LogManager::instance().log(source, LogLevel::Error, vexception(L"broken", errorFrame(L"", "f")));
    LogManager::instance().removeHandler(&throwing);
    EXPECT_TRUE(anyContains(textsOf(lines()), L"Error: broken\n   at (f line")) << ::testing::PrintToString(lines());
    EXPECT_TRUE(anyContains(recording.lines(), L"broken")) << "a handler after the failing one";

    // Without a product root the file cannot be made: the message still reaches the handlers.
    ScopedConfigValue noRoot(L"PRODUCT_ROOT_D", std::nullopt);
    EXPECT_THROW(LogFile(L"debug", 1), vexception);
    log(LogLevel::Error, L"no file");
    EXPECT_TRUE(anyContains(recording.lines(), L"no file"));
}

TEST_F(Logging, TwoProcessesWritingAtOnceLoseAndMixNothing) {
    std::array<ProgramRun, 2> runs;
    std::thread alpha([&] { runs[0] = runProgram(helperProgram(), L"2000 alpha"); });
    runs[1] = runProgram(helperProgram(), L"2000 beta");
    alpha.join();
    for (const ProgramRun& run : runs) EXPECT_EQ(run.exitCode, 0u) << run.output;
    expectOneByteOrderMark();
    const std::vector<std::wstring> written = lines();
    ASSERT_EQ(written.size(), 4000u);
    std::map<std::wstring, int> next = {{L"alpha", 0}, {L"beta", 0}};
    static const std::wregex body(L"Error: (alpha|beta) line (\\d+) of a long enough text to need time");
    for (const std::wstring& line : written) {
        std::wsmatch m;
        const std::wstring text = textOf(line);
        ASSERT_TRUE(std::regex_match(text, m, body)) << "malformed line: " << ::testing::PrintToString(line);
        EXPECT_EQ(std::stoi(m[2].str()), next[m[1].str()]++);  // each writer's lines whole and in its order
    }
    EXPECT_EQ(next, (std::map<std::wstring, int>{{L"alpha", 2000}, {L"beta", 2000}}));
}

// The default source prints Result and worse on the console in UTF-8 (lines separated, standard output in
// text mode) and reports errors and worse to the event log, every level with Debug on.
TEST_F(Logging, DefaultSourceSwitchesOnResultAndWorseOnTheConsoleAndTheEventLogByDebug) {
    const auto runHelper = [](const wchar_t* arguments) { return runProgram(helperProgram(), arguments).output; };
    ScopedConfigValue debug(L"Debug", std::optional<DWORD>(0));
    EXPECT_EQ(runHelper(L"console"), "h\xC3\xA9llo\r\nw\xC3\xB6rld 42");
    EXPECT_EQ(runHelper(L"flags"), "console=001111 eventlog=000111");
    ScopedConfigValue::set(L"Debug", 1);
    EXPECT_EQ(runHelper(L"flags"), "console=001111 eventlog=111111");
    // A manager that existed before the default source keeps its flags off.
    EXPECT_EQ(runHelper(L"flags manager-first"), "console=000000 eventlog=000000");
}

// Every message counts towards the next reading of the settings, errors included; a disabled log writes
// nothing, errors included, until the settings are read again.
TEST_F(Logging, EveryMessageCountsTowardsTheNextReadOfTheSettings) {
    ScopedConfigValue value(L"Debug", std::optional<DWORD>(0));
    for (int i = 0; i < 16; ++i) LogManager::isDebugEnabled();
    ScopedConfigValue::set(L"Debug", 1);
    int calls = 0;
    while (!LogManager::isDebugEnabled()) ASSERT_LE(++calls, 16);
    // The re-read just happened; fifteen messages bring the counter to the next one, errors included.
    ScopedConfigValue::set(L"Debug", 0);
    for (int i = 0; i < 14; ++i) log(LogLevel::Error, L"counted");
    log(LogLevel::Info, L"still on");
    EXPECT_FALSE(LogManager::isDebugEnabled()) << "the sixteenth call re-reads";
    log(LogLevel::Info, L"now off");

    ScopedConfigValue::set(L"log_debug_enabled", 0);
    LogManager::rereadSettings();
    log(LogLevel::Error, L"dropped");
    ScopedConfigValue::set(L"log_debug_enabled", 1);
    log(LogLevel::Error, L"still dropped: the settings are taken again only on the Debug switch's rhythm");
    LogManager::rereadSettings();
    log(LogLevel::Error, L"kept");
    const std::vector<std::wstring> texts = textsOf(lines());
    EXPECT_TRUE(anyContains(texts, L"Info: still on"));
    EXPECT_FALSE(anyContains(texts, L"now off"));
    EXPECT_TRUE(anyContains(texts, L"Error: kept"));
    EXPECT_FALSE(anyContains(texts, L"dropped"));
}

TEST_F(Logging, EventLogSourceIsRegisteredOnlyForLevelsWhoseFlagIsSet) {
    ScopedConfigValue root(L"PRODUCT_ROOT_D", std::wstring(L"C:\\Tarvo"));
    const std::wstring logKey = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Tarvo\\";
    const std::wstring quiet = L"tarvo-quiet-" + std::to_wstring(::GetCurrentProcessId());
    const std::wstring loud = L"tarvo-loud-" + std::to_wstring(::GetCurrentProcessId());
    LogManager& manager = LogManager::instance();
    const bool previous[] = {manager.eventLogFlag(LogLevel::Info), manager.eventLogFlag(LogLevel::Error)};
    manager.setEventLogFlag(LogLevel::Info, false);
    manager.setEventLogFlag(LogLevel::Error, true);
    {
        EventSource silent(quiet), reported(loud);
        manager.log(silent, LogLevel::Info, L"%s", std::wstring(L"not reported"));
        manager.log(reported, LogLevel::Error, L"%s", std::wstring(L"reported"));
        EXPECT_NE(reported.handle(), nullptr);
        EXPECT_EQ(silent.handle(), nullptr);
    }
    manager.setEventLogFlag(LogLevel::Info, previous[0]);
    manager.setEventLogFlag(LogLevel::Error, previous[1]);
    EXPECT_FALSE(registry::keyExists(HKEY_LOCAL_MACHINE, logKey + quiet, 0));
    DWORD types = 0, maxSize = 0, retention = 1;
    std::wstring file;
    EXPECT_EQ(registry::lookup(HKEY_LOCAL_MACHINE, logKey + loud, L"TypesSupported", types, 0), 0);
    EXPECT_EQ(registry::lookup(HKEY_LOCAL_MACHINE, logKey + loud, L"EventMessageFile", file, REG_SZ, 0), 0);
    EXPECT_EQ(registry::lookup(HKEY_LOCAL_MACHINE, logKey, L"MaxSize", maxSize, 0), 0);
    EXPECT_EQ(registry::lookup(HKEY_LOCAL_MACHINE, logKey, L"Retention", retention, 0), 0);
    EXPECT_EQ(std::tuple(types, file, maxSize, retention),
              std::tuple(7u, std::wstring(L"C:\\Tarvo\\admin\\bin64\\eventmsg.dll"), 0x800000u, 0u));
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, (logKey + loud).c_str());
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, (logKey + loud).c_str());
    for (const auto& [level, type] : {std::pair{LogLevel::Info, EVENTLOG_INFORMATION_TYPE},
                                     {LogLevel::Warning, EVENTLOG_WARNING_TYPE}, {LogLevel::Result, EVENTLOG_SUCCESS},
                                     {static_cast<LogLevel>(-1), EVENTLOG_ERROR_TYPE}})
        EXPECT_EQ(eventlog::eventType(level), type);
}

TEST_F(Logging, TheProductDllSharesTheContextOfTheProcess) {
    ExecuteContext& mine = executeContext();
    MsiSession package;
    package.setProperty(L"Action_OnStagePostinstall", L"<actionslist uilevel=\"5\"/>");
    ASSERT_EQ(package.call("OnStagePostinstall"), 0u);  // makes the DLL look for its context
    auto* slot = reinterpret_cast<ExecuteContext**>(
        ::GetProcAddress(MsiSession::productDll(), "m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22"));
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(*slot, &mine);
    EXPECT_GE(mine.references, 2);
    EXPECT_EQ(mine.logManager, &LogManager::instance());
}

// Sessions come and go on the installer's thread while other threads log through them: the handler list is
// never walked while it changes, and a removed handler is never called afterwards.
std::atomic<int> calledAfterRemoval{0};

TEST_F(Logging, HandlersComeAndGoWhileOtherThreadsLog) {
    struct Counting : ILogHandler {
        std::atomic<int> seen{0};
        std::atomic<bool> gone{false};
        using ILogHandler::log;
        void log(LogLevel, const std::wstring&) override {
            if (gone) ++calledAfterRemoval;
            ++seen;
        }
    };
    std::atomic<bool> stop{false};
    std::array<std::atomic<int>, 3> logged{};
    std::vector<std::thread> loggers;
    for (std::atomic<int>& count : logged)
        loggers.emplace_back([&] {
            for (; !stop; ++count) vlog(LogLevel::Info, L"%s", std::wstring(L"from another thread"));
        });
    Counting steady;
    LogManager::instance().addHandler(&steady);
    // The handlers churn until every logging thread has logged during the churn: a loaded machine may not
    // schedule them at once, so a fixed number of rounds would prove nothing there.
    for (std::atomic<int>& count : logged) count = 0;
    const auto everyThreadLogged = [&] {
        return std::all_of(logged.begin(), logged.end(), [](const std::atomic<int>& count) { return count > 0; });
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (int round = 0; !(round >= 300 && everyThreadLogged()) && std::chrono::steady_clock::now() < deadline;
         ++round) {
        std::array<Counting, 8> many;
        for (Counting& handler : many) LogManager::instance().addHandler(&handler);
        for (Counting& handler : many) {
            LogManager::instance().removeHandler(&handler);
            handler.gone = true;
        }
    }
    stop = true;
    for (std::thread& logger : loggers) logger.join();
    LogManager::instance().removeHandler(&steady);
    EXPECT_TRUE(everyThreadLogged());
    EXPECT_GT(steady.seen, 0);
    EXPECT_EQ(calledAfterRemoval, 0);
}
