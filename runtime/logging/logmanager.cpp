#include "runtime/logging/logmanager.h"

#include <mutex>

#include "runtime/logging/executecontext.h"

namespace {
const wchar_t* const levelNames[] = {L"Info", L"Warning", L"Result", L"Error", L"Unexpected", L"Crash"};

bool validLevel(LogLevel level) noexcept {
    return static_cast<int>(level) >= 0 && static_cast<int>(level) < LogManager::levelCount;
}

const wchar_t* const configKey = L"SOFTWARE\\Tarvo\\HVC Config\\Config";
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
    static EventSource* source = new EventSource();
    static std::once_flag defaults;
    std::call_once(defaults, [] { instance().applyDefaults(); });
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
    static unsigned callCount = 0;
    static DWORD cached = 0;
    if (callCount++ % 16 == 0) {
        DWORD value = 0;
        DWORD size = sizeof value;
        if (::RegGetValueW(HKEY_LOCAL_MACHINE, configKey, L"Debug", RRF_RT_REG_DWORD | RRF_SUBKEY_WOW6464KEY, nullptr,
                           &value, &size) == ERROR_SUCCESS)
            cached = value;
    }
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

void LogManager::dispatch(EventSource&, LogLevel level, const std::wstring& text) noexcept {
    try {
        for (ILogHandler* handler : handlers_) handler->log(level, text);
    } catch (...) {
    }
}

void LogManager::dispatch(EventSource&, LogLevel level, const vexception& e) noexcept {
    try {
        for (ILogHandler* handler : handlers_) handler->log(level, e);
    } catch (...) {
    }
}

bool LogManager::consoleFlag(LogLevel level) const noexcept {
    return validLevel(level) && console_[static_cast<int>(level)];
}
bool LogManager::eventLogFlag(LogLevel level) const noexcept {
    return validLevel(level) && eventLog_[static_cast<int>(level)];
}
void LogManager::setConsoleFlag(LogLevel level, bool on) noexcept {
    if (validLevel(level)) console_[static_cast<int>(level)] = on;
}
void LogManager::setEventLogFlag(LogLevel level, bool on) noexcept {
    if (validLevel(level)) eventLog_[static_cast<int>(level)] = on;
}
