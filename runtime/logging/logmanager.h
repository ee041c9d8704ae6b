#pragma once
// The process-wide log: one message goes to the daily debug log file, the event log, the console and every
// registered handler. No logging call ever throws.
#include <windows.h>

#include <string>
#include <vector>

#include "runtime/errors/format.h"
#include "runtime/errors/vexception.h"

enum class LogLevel : int { Info = 0, Warning = 1, Result = 2, Error = 3, Unexpected = 4, Crash = 5 };

// "Info" ... "Crash"; "Unknown level" outside 0..5 (the name used in files and on the console).
const wchar_t* logLevelName(LogLevel level) noexcept;

class ILogHandler {
public:
    virtual ~ILogHandler();
    // Renders the exception and passes it on as a message.
    virtual void log(LogLevel level, const vexception& e);
    virtual void log(LogLevel level, const std::wstring& text) = 0;
};

// An event source: a registered event-log handle (made on first report) and its name; an empty name
// stands for the file name of the process executable.
class EventSource {
public:
    explicit EventSource(std::wstring name = {}) : name_(std::move(name)) {}
    EventSource(const EventSource&) = delete;
    EventSource& operator=(const EventSource&) = delete;
    ~EventSource();
    const std::wstring& name() const noexcept { return name_; }
    HANDLE handle() const noexcept { return handle_; }
    void setHandle(HANDLE handle) noexcept;

private:
    std::wstring name_;
    HANDLE handle_ = nullptr;
};

class LogManager {
public:
    static constexpr int levelCount = 6;

    // The manager of the process execute context, created on first use.
    static LogManager& instance();
    // Frees the manager when the last module lets the execute context go.
    static void destroy(LogManager* manager) noexcept;
    // The process-wide default source; the first call in a process whose context had no manager yet
    // applies the default console and event-log flags.
    static EventSource& defaultSource();
    // The "Debug" switch of the configuration key, re-read on the first call and every 16th after.
    static bool isDebugEnabled() noexcept;
    // Makes the next message read the settings (the Debug switch and the log file's) again.
    static void rereadSettings() noexcept;
    // What every message of this module passes through before it reaches any sink (the secret masking of
    // the engine, which installs it); none by default. A filter that fails withholds the message's text.
    using MessageFilter = std::wstring (*)(const std::wstring& text);
    static void setMessageFilter(MessageFilter filter) noexcept;

    void addHandler(ILogHandler* handler) noexcept;
    void removeHandler(ILogHandler* handler) noexcept;

    void dispatch(EventSource& source, LogLevel level, const std::wstring& text) noexcept;
    void dispatch(EventSource& source, LogLevel level, const vexception& e) noexcept;

    template <typename... Args>
    void log(EventSource& source, LogLevel level, const wchar_t* format, const Args&... args) noexcept {
        try {
            dispatch(source, level, formatString(format, args...));
        } catch (...) {
        }
    }
    void log(EventSource& source, LogLevel level, const vexception& e) noexcept { dispatch(source, level, e); }

    bool consoleFlag(LogLevel level) const noexcept;
    bool eventLogFlag(LogLevel level) const noexcept;
    void setConsoleFlag(LogLevel level, bool on) noexcept;
    void setEventLogFlag(LogLevel level, bool on) noexcept;

private:
    friend struct LogManagerAccess;
    LogManager() = default;
    void applyDefaults() noexcept;
    void writeConsole(const std::wstring& text);
    // The file, event-log and console sinks of one message; then every handler, under the shared lock.
    void toTextSinks(EventSource& source, LogLevel level, const std::wstring& text) noexcept;
    template <typename Call>
    void toHandlers(Call&& call) noexcept;

    bool console_[levelCount] = {};
    bool eventLog_[levelCount] = {};
    // Any thread logs while the installer's thread adds and removes sessions: the handler list and the
    // event-log handles are guarded. Handlers are called under the shared lock, so that a session is never
    // removed (and destroyed) while a message is on its way through it; a handler must not log itself.
    SRWLOCK lock_ = SRWLOCK_INIT;
    std::vector<ILogHandler*> handlers_;
    bool consoleStarted_ = false;
};

// Shorthands for the default source.
template <typename... Args>
void vlog(LogLevel level, const wchar_t* format, const Args&... args) noexcept {
    try {
        EventSource& source = LogManager::defaultSource();  // first: it decides whether defaults apply
        LogManager::instance().log(source, level, format, args...);
    } catch (...) {
    }
}
inline void vlog(LogLevel level, const vexception& e) noexcept {
    try {
        EventSource& source = LogManager::defaultSource();
        LogManager::instance().log(source, level, e);
    } catch (...) {
    }
}
