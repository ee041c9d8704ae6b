// The log manager's sinks: the daily debug log file, the event-log registration, the debug switch, the
// installer session as a handler, and the execute context shared with the product DLL.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <map>
#include <regex>
#include <stdexcept>

#include "msi/vmsi.h"
#include "runtime/logging/eventlog.h"
#include "runtime/logging/executecontext.h"
#include "runtime/logging/logfile.h"
#include "runtime/logging/logmanager.h"
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
    // The file's bytes: whether it starts with the byte-order mark, and its lines without CR LF.
    std::vector<std::wstring> lines(bool* bom = nullptr) const {
        const std::string bytes = readBytes(debugLogPath());
        if (bom) *bom = bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE;
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

// Runs the helper with `arguments` and returns what it printed.
std::string runHelper(const std::wstring& arguments) { return runProgram(helperProgram(), arguments).output; }

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

TEST_F(Logging, LinesAreStampedWithTimeProcessAndThreadAfterOneByteOrderMark) {
    ScopedDebugLogging debug(true);
    log(LogLevel::Info, L"first");
    log(LogLevel::Result, L"second [with] 100% \u00e9");
    log(static_cast<LogLevel>(-1), L"third");
    bool bom = false;
    const std::vector<std::wstring> written = lines(&bom);
    EXPECT_TRUE(bom);
    ASSERT_EQ(written.size(), 3u);
    std::wsmatch m;
    ASSERT_TRUE(std::regex_match(written[0], m, stampedLine)) << written[0];
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    EXPECT_EQ(std::stoi(m[1].str()), now.wYear);
    EXPECT_EQ(std::stoul(m[4].str()), ::GetCurrentProcessId());
    EXPECT_EQ(std::stoul(m[5].str()), ::GetCurrentThreadId());
    EXPECT_EQ(textsOf(written), (std::vector<std::wstring>{L"Info: first", L"Result: second [with] 100% \u00e9",
                                                           L"Unknown level: third"}));
    // Only the first line of the file carries the mark.
    const std::string bytes = readBytes(debugLogPath());
    EXPECT_EQ(bytes.find("\xFF\xFE", 2), std::string::npos);
}

TEST_F(Logging, WithoutDebugOnlyErrorsAndWorseAreWrittenAndUnknownLevelsAreNamed) {
    ScopedDebugLogging debug(false);
    for (LogLevel level : {LogLevel::Info, LogLevel::Warning, LogLevel::Result, LogLevel::Error, LogLevel::Unexpected,
                           LogLevel::Crash, static_cast<LogLevel>(7)})
        log(level, L"message");
    EXPECT_EQ(textsOf(lines()), (std::vector<std::wstring>{L"Error: message", L"Unexpected: message", L"Crash: message",
                                                           L"Unknown level: message"}));
}

TEST_F(Logging, ADisabledLogWritesNothingEvenForErrors) {
    ScopedConfigValue::set(L"log_debug_enabled", 0);
    log(LogLevel::Error, L"dropped");
    EXPECT_EQ(::GetFileAttributesW(debugLogPath().c_str()), INVALID_FILE_ATTRIBUTES);
    ScopedConfigValue::set(L"log_debug_enabled", 1);
    log(LogLevel::Error, L"still dropped: the settings are taken again only on the Debug switch's rhythm");
    LogManager::rereadSettings();
    log(LogLevel::Error, L"kept");
    EXPECT_EQ(textsOf(lines()), (std::vector<std::wstring>{L"Error: kept"}));
}

TEST_F(Logging, AnExceptionIsWrittenRenderedAndAFailingSinkStopsOnlyItself) {
    struct Throwing : ILogHandler {
        void log(LogLevel, const std::wstring&) override { throw std::runtime_error("handler failed"); }
    } throwing;
    struct Recording : ILogHandler {
        using ILogHandler::log;
        void log(LogLevel, const std::wstring& text) override { seen.push_back(text); }
        std::vector<std::wstring> seen;
    } recording;
    LogManager::instance().addHandler(&throwing);
    LogManager::instance().addHandler(&recording);
    LogManager::instance().log(source, LogLevel::Error, vexception(L"broken", errorFrame(L"", "f")));
    LogManager::instance().removeHandler(&throwing);
    LogManager::instance().removeHandler(&recording);
    EXPECT_TRUE(anyContains(textsOf(lines()), L"Error: broken\n   at (f line")) << ::testing::PrintToString(lines());

    // Without a product root the file cannot be made: the message still reaches the handlers.
    ScopedConfigValue noRoot(L"PRODUCT_ROOT_D", std::nullopt);
    EXPECT_THROW(LogFile(L"debug", 1), vexception);
    LogManager::instance().addHandler(&recording);
    log(LogLevel::Error, L"no file");
    LogManager::instance().removeHandler(&recording);
    EXPECT_TRUE(anyContains(recording.seen, L"no file"));
}

TEST_F(Logging, TwoProcessesWritingAtOnceLoseAndMixNothing) {
    const std::wstring writer = helperProgram();
    std::vector<PROCESS_INFORMATION> processes;
    for (const wchar_t* tag : {L"alpha", L"beta"}) {
        std::wstring command = L"\"" + writer + L"\" 2000 " + tag;
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        ASSERT_TRUE(::CreateProcessW(writer.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                     &startup, &process)) << ::GetLastError();
        processes.push_back(process);
    }
    for (PROCESS_INFORMATION& p : processes) {
        EXPECT_EQ(::WaitForSingleObject(p.hProcess, 120000), WAIT_OBJECT_0);
        DWORD code = 1;
        ::GetExitCodeProcess(p.hProcess, &code);
        EXPECT_EQ(code, 0u);
        ::CloseHandle(p.hProcess);
        ::CloseHandle(p.hThread);
    }
    bool bom = false;
    const std::vector<std::wstring> written = lines(&bom);
    EXPECT_TRUE(bom);
    EXPECT_EQ(readBytes(debugLogPath()).find("\xFF\xFE", 2), std::string::npos) << "a second byte-order mark";
    ASSERT_EQ(written.size(), 4000u);
    std::map<std::wstring, int> next = {{L"alpha", 0}, {L"beta", 0}};
    static const std::wregex body(L"Error: (alpha|beta) line (\\d+) of a long enough text to need time");
    for (const std::wstring& line : written) {
        std::wsmatch m;
        const std::wstring text = textOf(line);
        ASSERT_TRUE(std::regex_match(text, m, body)) << "malformed line: " << ::testing::PrintToString(line);
        // Each writer's lines arrive whole and in its own order.
        EXPECT_EQ(std::stoi(m[2].str()), next[m[1].str()]++);
    }
    EXPECT_EQ(next[L"alpha"], 2000);
    EXPECT_EQ(next[L"beta"], 2000);
}

TEST_F(Logging, ConsoleDefaultsPrintResultAndWorseInUtf8SeparatedByLineBreaks) {
    ScopedConfigValue debug(L"Debug", std::optional<DWORD>(0));
    // Standard output is in text mode: the separating line break arrives as CR LF.
    EXPECT_EQ(runHelper(L"console"), "h\xC3\xA9llo\r\nw\xC3\xB6rld 42");
}

TEST_F(Logging, DefaultSourceSwitchesOnResultAndWorseOnTheConsoleAndTheEventLogByDebug) {
    ScopedConfigValue debug(L"Debug", std::optional<DWORD>(0));
    EXPECT_EQ(runHelper(L"flags"), "console=001111 eventlog=000111");
    ScopedConfigValue::set(L"Debug", 1);
    EXPECT_EQ(runHelper(L"flags"), "console=001111 eventlog=111111");
    // A manager that existed before the default source keeps its flags off.
    EXPECT_EQ(runHelper(L"flags manager-first"), "console=000000 eventlog=000000");
}

TEST_F(Logging, EveryMessageCountsTowardsTheNextReadOfTheDebugSwitch) {
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
    const std::vector<std::wstring> texts = textsOf(lines());
    EXPECT_TRUE(anyContains(texts, L"Info: still on"));
    EXPECT_FALSE(anyContains(texts, L"now off"));
}

TEST_F(Logging, InfoWarningAndResultReachTheInstallerLogOnlyWithDebugOn) {
    MsiSession package;
    vmsi session(package.handle());
    {
        ScopedDebugLogging debug(true);
        vlog(LogLevel::Info, L"%s", std::wstring(L"shown info"));
        vlog(LogLevel::Warning, L"%s", std::wstring(L"shown warning [x]"));
        vlog(LogLevel::Result, L"%s", std::wstring(L"shown result"));
    }
    {
        ScopedDebugLogging debug(false);
        vlog(LogLevel::Warning, L"%s", std::wstring(L"hidden warning"));
        vlog(LogLevel::Error, L"%s", std::wstring(L"shown error"));
        session.log(static_cast<LogLevel>(9), L"odd level");
    }
    const std::wstring log = package.log();
    EXPECT_TRUE(contains(log, L"Info: shown info")) << log;
    EXPECT_TRUE(contains(log, L"Warning: shown warning [x]\n")) << log;  // brackets printed as they are
    EXPECT_TRUE(contains(log, L"Result: shown result")) << log;
    EXPECT_TRUE(contains(log, L"Error: shown error")) << log;
    EXPECT_TRUE(contains(log, L"Unknown: odd level")) << log;
    EXPECT_FALSE(contains(log, L"hidden warning")) << log;
    const std::vector<std::wstring> texts = textsOf(lines());
    EXPECT_TRUE(anyContains(texts, L"Warning: shown warning"));
    EXPECT_TRUE(anyContains(texts, L"Error: shown error"));
    EXPECT_FALSE(anyContains(texts, L"hidden warning"));
}

TEST_F(Logging, EventLogSourceIsRegisteredOnlyForLevelsWhoseFlagIsSet) {
    ScopedConfigValue root(L"PRODUCT_ROOT_D", std::wstring(L"C:\\Tarvo"));
    const std::wstring quiet = L"tarvo-quiet-" + std::to_wstring(::GetCurrentProcessId());
    const std::wstring loud = L"tarvo-loud-" + std::to_wstring(::GetCurrentProcessId());
    const std::wstring logKey = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Tarvo";
    LogManager& manager = LogManager::instance();
    const bool previous = manager.eventLogFlag(LogLevel::Error);
    const bool previousInfo = manager.eventLogFlag(LogLevel::Info);
    manager.setEventLogFlag(LogLevel::Info, false);
    manager.setEventLogFlag(LogLevel::Error, true);
    {
        EventSource silent(quiet), reported(loud);
        manager.log(silent, LogLevel::Info, L"%s", std::wstring(L"not reported"));
        manager.log(reported, LogLevel::Error, L"%s", std::wstring(L"reported"));
        EXPECT_NE(reported.handle(), nullptr);
        EXPECT_EQ(silent.handle(), nullptr);
    }
    manager.setEventLogFlag(LogLevel::Error, previous);
    manager.setEventLogFlag(LogLevel::Info, previousInfo);

    HKEY key = nullptr;
    EXPECT_NE(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, (logKey + L"\\" + quiet).c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
    const auto dword = [](const std::wstring& subkey, const wchar_t* name) {
        DWORD value = 0xDEAD, size = sizeof value;
        ::RegGetValueW(HKEY_LOCAL_MACHINE, subkey.c_str(), name, RRF_RT_REG_DWORD, nullptr, &value, &size);
        return value;
    };
    EXPECT_EQ(dword(logKey + L"\\" + loud, L"TypesSupported"), 7u);
    EXPECT_EQ(dword(logKey, L"MaxSize"), 0x800000u);
    EXPECT_EQ(dword(logKey, L"Retention"), 0u);
    wchar_t file[MAX_PATH] = {};
    DWORD size = sizeof file;
    EXPECT_EQ(::RegGetValueW(HKEY_LOCAL_MACHINE, (logKey + L"\\" + loud).c_str(), L"EventMessageFile", RRF_RT_REG_SZ,
                             nullptr, file, &size), ERROR_SUCCESS);
    EXPECT_STREQ(file, L"C:\\Tarvo\\admin\\bin64\\eventmsg.dll");
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, (logKey + L"\\" + loud).c_str());
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, (logKey + L"\\" + loud).c_str());

    EXPECT_EQ(eventlog::eventType(LogLevel::Info), EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(eventlog::eventType(LogLevel::Warning), EVENTLOG_WARNING_TYPE);
    EXPECT_EQ(eventlog::eventType(LogLevel::Result), EVENTLOG_SUCCESS);
    EXPECT_EQ(eventlog::eventType(static_cast<LogLevel>(-1)), EVENTLOG_ERROR_TYPE);
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
            while (!stop) {
                vlog(LogLevel::Info, L"%s", std::wstring(L"from another thread"));
                ++count;
            }
        });
    Counting steady;
    LogManager::instance().addHandler(&steady);
    // The handlers churn until every logging thread has logged during the churn: a loaded machine may not
    // schedule them at once, so a fixed number of rounds would prove nothing there.
    const auto loggedSoFar = [&] {
        std::array<int, 3> counts{};
        for (size_t i = 0; i < counts.size(); ++i) counts[i] = logged[i];
        return counts;
    };
    const std::array<int, 3> before = loggedSoFar();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (int round = 0;; ++round) {
        std::vector<std::unique_ptr<Counting>> many(8);
        for (auto& handler : many) LogManager::instance().addHandler((handler = std::make_unique<Counting>()).get());
        for (auto& handler : many) {
            LogManager::instance().removeHandler(handler.get());
            handler->gone = true;
        }
        const std::array<int, 3> now = loggedSoFar();
        bool everyThreadLogged = true;
        for (size_t i = 0; i < now.size(); ++i) everyThreadLogged = everyThreadLogged && now[i] > before[i];
        if ((round >= 300 && everyThreadLogged) || std::chrono::steady_clock::now() > deadline) break;
    }
    stop = true;
    for (std::thread& logger : loggers) logger.join();
    LogManager::instance().removeHandler(&steady);
    for (size_t i = 0; i < logged.size(); ++i) EXPECT_GT(logged[i], before[i]) << "thread " << i << " never logged";
    EXPECT_GT(steady.seen, 0);
    EXPECT_EQ(calledAfterRemoval, 0);
}
