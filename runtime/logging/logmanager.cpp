#include "runtime/logging/logmanager.h"

#include <atomic>
#include <cstdio>
#include <memory>

#include "runtime/errors/codepage.h"
#include "runtime/logging/config.h"
#include "runtime/logging/eventlog.h"
#include "runtime/logging/logfile.h"

#include "runtime/logging/executecontext.h"
#include "runtime/threads/sync.h"

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
    // Without an execute context yet the defaults wait for a later call.
    static OnceRetrying defaults;
    defaults.run([] {
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

namespace {
// Every message counts; on the first and every 16th the settings are read again. Relaxed atomics: a race only
// moves the next reading by a message.
std::atomic<unsigned> settingsCalls{0};
std::atomic<DWORD> debugSwitch{0};
std::atomic<unsigned> settingsReadings{0};  // a new value tells the debug log to take its settings anew
}  // namespace

bool LogManager::isDebugEnabled() noexcept {
    if (settingsCalls.fetch_add(1, std::memory_order_relaxed) % 16 == 0) {
        DWORD value = debugSwitch.load(std::memory_order_relaxed);
        if (logconfig::readDword(L"Debug", value)) debugSwitch.store(value, std::memory_order_relaxed);
        settingsReadings.fetch_add(1, std::memory_order_release);
    }
    return debugSwitch.load(std::memory_order_relaxed) != 0;
}

void LogManager::rereadSettings() noexcept {
    settingsCalls.store(0, std::memory_order_relaxed);
}

void LogManager::addHandler(ILogHandler* handler) noexcept {
    SrwExclusive guard(lock_);
    try {
        handlers_.push_back(handler);
    } catch (...) {
    }
}

void LogManager::removeHandler(ILogHandler* handler) noexcept {
    SrwExclusive guard(lock_);
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

// The debug log file as the settings last read describe it: its switch, its folder and its mutex are taken
// anew on the rhythm of the Debug switch, not for every line (each line still opens, appends to and closes
// the file). Null while the log is off or has no folder.
std::shared_ptr<LogFile> debugLogFile() {
    static SRWLOCK lock = SRWLOCK_INIT;
    static auto* file = new std::shared_ptr<LogFile>();  // never destroyed: logging goes on during shutdown
    static unsigned takenAt = ~0u;
    const unsigned readings = settingsReadings.load(std::memory_order_acquire);
    {
        SrwShared guard(lock);
        if (takenAt == readings) return *file;
    }
    SrwExclusive guard(lock);
    if (takenAt != readings) {
        takenAt = readings;
        file->reset();
        try {
            *file = std::make_shared<LogFile>(L"debug", 1);
        } catch (...) {
            // Dropped until the next reading of the settings.
        }
    }
    return *file;
}

void writeDebugLog(LogLevel level, const std::wstring& text) {
    // Every message counts towards the switch's re-read, whatever its level.
    const bool debug = LogManager::isDebugEnabled();
    if (!debug && static_cast<int>(level) < static_cast<int>(LogLevel::Error)) return;
    if (const std::shared_ptr<LogFile> file = debugLogFile())
        file->write(std::wstring(logLevelName(level)) + L": " + text);
}

}  // namespace

void LogManager::writeConsole(const std::wstring& text) {
    // Lines are separated rather than terminated, so the last line of a run stays open for the caller.
    if (consoleStarted_) std::fputs("\n", stdout);
    consoleStarted_ = true;
    std::fputs(cstr(text, CP_UTF8).c_str(), stdout);
    std::fflush(stdout);
}

namespace {
// Per module: the manager is shared with other modules, a function of this one must not be.
std::atomic<LogManager::MessageFilter> messageFilter{nullptr};

std::wstring filtered(const std::wstring& text) {
    const LogManager::MessageFilter filter = messageFilter.load();
    if (filter == nullptr) return text;
    try {
        return filter(text);
    } catch (...) {
        return L"(message withheld: it could not be masked)";
    }
}
}  // namespace

void LogManager::setMessageFilter(MessageFilter filter) noexcept { messageFilter.store(filter); }

void LogManager::dispatch(EventSource& source, LogLevel level, const std::wstring& unfiltered) noexcept {
    std::wstring text;
    try {
        text = filtered(unfiltered);
    } catch (...) {
        return;  // not even a copy could be made: nothing is written rather than the unmasked text
    }
    toTextSinks(source, level, text);
    toHandlers([&](ILogHandler& handler) { handler.log(level, text); });
}

void LogManager::dispatch(EventSource& source, LogLevel level, const vexception& e) noexcept {
    // The masked rendering goes everywhere; an exception that cannot be rendered still reaches the handlers,
    // which get the exception itself.
    std::wstring text;
    bool rendered = false;
    toSink([&] {
        text = filtered(e.toString());
        rendered = true;
    });
    if (!rendered) {
        toHandlers([&](ILogHandler& handler) { handler.log(level, e); });
        return;
    }
    toTextSinks(source, level, text);
    toHandlers([&](ILogHandler& handler) { handler.log(level, text); });
}

void LogManager::toTextSinks(EventSource& source, LogLevel level, const std::wstring& text) noexcept {
    toSink([&] { writeDebugLog(level, text); });
    if (eventLogFlag(level)) {
        SrwExclusive guard(lock_);  // the source's cached handle is replaced when a report fails
        toSink([&] { eventlog::report(source, level, text); });
    }
    if (consoleFlag(level)) toSink([&] { writeConsole(text); });
}

template <typename Call>
void LogManager::toHandlers(Call&& call) noexcept {
    SrwShared guard(lock_);
    // Each handler is a sink of its own: one that throws keeps the message from no other.
    for (ILogHandler* handler : handlers_) toSink([&] { call(*handler); });
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
