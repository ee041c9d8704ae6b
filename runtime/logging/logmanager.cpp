#include "runtime/logging/logmanager.h"

#include <cstdio>
#include <mutex>

#include "runtime/errors/codepage.h"
#include "runtime/logging/config.h"
#include "runtime/logging/eventlog.h"
#include "runtime/logging/logfile.h"

#include "runtime/logging/executecontext.h"

namespace {
const wchar_t* const levelNames[] = {L"Info", L"Warning", L"Result", L"Error", L"Unexpected", L"Crash"};

bool validLevel(LogLevel level) noexcept {
    return static_cast<int>(level) >= 0 && static_cast<int>(level) < LogManager::levelCount;
}

}  // namespace

const wchar_t* logLevelName(LogLevel level) noexcept {
    return validLevel(level) ? levelNames[static_cast<int>(level)] : L"Unknown level";
}

ILogHandler::~ILogHandler() = default;

void ILogHandler::log(LogLevel level, const vexception& e) { log(level, e.toString()); }

EventSource::~EventSource() {
    if (handle_ != nullptr) ::DeregisterEventSource(handle_);
}

void EventSource::setHandle(HANDLE handle) noexcept {
    if (handle_ != nullptr && handle_ != handle) ::DeregisterEventSource(handle_);
    handle_ = handle;
}

LogManager& LogManager::instance() {
    ExecuteContext& context = executeContext();
    if (LogManager* manager = context.logManager) return *manager;
    // Another module or thread may be creating one at the same moment: the first to store it wins.
    auto* created = new LogManager();
    if (void* existing = ::InterlockedCompareExchangePointer(reinterpret_cast<void**>(&context.logManager), created, nullptr)) {
        delete created;
        return *static_cast<LogManager*>(existing);
    }
    return *created;
}

void LogManager::destroy(LogManager* manager) noexcept { delete manager; }

EventSource& LogManager::defaultSource() {
    static EventSource* source = new EventSource();  // process lifetime: logging may go on during shutdown
    static std::once_flag defaults;
    std::call_once(defaults, [] {
        // A manager that another module (or an earlier registration) made keeps the flags it has.
        const bool hadManager = executeContext().logManager != nullptr;
        LogManager& manager = instance();
        if (!hadManager) manager.applyDefaults();
    });
    return *source;
}

void LogManager::applyDefaults() noexcept {
    const bool debug = isDebugEnabled();
    const bool console[levelCount] = {false, false, true, true, true, true};
    for (int i = 0; i < levelCount; ++i) {
        console_[i] = console[i];
        eventLog_[i] = i >= static_cast<int>(LogLevel::Error) ? true : debug;
    }
}

bool LogManager::isDebugEnabled() noexcept {
    // Plain process-wide variables: a lost update only moves the next re-read by a call.
    static unsigned callCount = 0;
    static DWORD cached = 0;
    if (callCount++ % 16 == 0) logconfig::readDword(L"Debug", cached);
    return cached != 0;
}

void LogManager::addHandler(ILogHandler* handler) noexcept {
    try {
        handlers_.push_back(handler);
    } catch (...) {
    }
}

void LogManager::removeHandler(ILogHandler* handler) noexcept {
    std::erase(handlers_, handler);
}

namespace {

// One sink of a message: its failure drops that sink's output only.
template <typename Sink>
void toSink(Sink&& sink) noexcept {
    try {
        sink();
    } catch (...) {
    }
}

void writeDebugLog(LogLevel level, const std::wstring& text) {
    // Every message counts towards the switch's re-read, whatever its level.
    const bool debug = LogManager::isDebugEnabled();
    if (!debug && static_cast<int>(level) < static_cast<int>(LogLevel::Error)) return;
    LogFile file(L"debug", 1);
    file.write(std::wstring(logLevelName(level)) + L": " + text);
}

}  // namespace

void LogManager::writeConsole(const std::wstring& text) {
    // Lines are separated rather than terminated, so the last line of a run stays open for the caller.
    if (consoleStarted_) std::fputs("\n", stdout);
    consoleStarted_ = true;
    std::fputs(cstr(text, CP_UTF8).c_str(), stdout);
    std::fflush(stdout);
}

void LogManager::dispatch(EventSource& source, LogLevel level, const std::wstring& text) noexcept {
    toSink([&] { writeDebugLog(level, text); });
    if (eventLogFlag(level)) toSink([&] { eventlog::report(source, level, text); });
    if (consoleFlag(level)) toSink([&] { writeConsole(text); });
    toSink([&] {
        for (ILogHandler* handler : handlers_) handler->log(level, text);
    });
}

void LogManager::dispatch(EventSource& source, LogLevel level, const vexception& e) noexcept {
    // An exception that cannot be rendered still reaches the handlers, which get the exception itself.
    std::wstring text;
    bool rendered = false;
    toSink([&] {
        text = e.toString();
        rendered = true;
    });
    if (rendered) {
        toSink([&] { writeDebugLog(level, text); });
        if (eventLogFlag(level)) toSink([&] { eventlog::report(source, level, text); });
        if (consoleFlag(level)) toSink([&] { writeConsole(text); });
    }
    toSink([&] {
        for (ILogHandler* handler : handlers_) handler->log(level, e);
    });
}

// A level outside the table is treated as an error.
bool LogManager::consoleFlag(LogLevel level) const noexcept {
    return console_[validLevel(level) ? static_cast<int>(level) : static_cast<int>(LogLevel::Error)];
}
bool LogManager::eventLogFlag(LogLevel level) const noexcept {
    return eventLog_[validLevel(level) ? static_cast<int>(level) : static_cast<int>(LogLevel::Error)];
}
void LogManager::setConsoleFlag(LogLevel level, bool on) noexcept {
    if (validLevel(level)) console_[static_cast<int>(level)] = on;
}
void LogManager::setEventLogFlag(LogLevel level, bool on) noexcept {
    if (validLevel(level)) eventLog_[static_cast<int>(level)] = on;
}
