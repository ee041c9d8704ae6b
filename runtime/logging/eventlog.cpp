#include "runtime/logging/eventlog.h"

#include "runtime/holder.h"
#include "runtime/logging/config.h"
#include "runtime/logging/logfile.h"
#include "runtime/filesystem/vfilename.h"
#include "runtime/registry/registry.h"
#include "runtime/threads/sync.h"

namespace {

constexpr const wchar_t* registrationMutex = L"Global\\{F485C63C-FF60-4c1a-A4BF-A3958C9F3D32}";
constexpr const wchar_t* eventLogKey = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\";

std::wstring executablePath() {
    wchar_t path[MAX_PATH + 1] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, length);
}

}  // namespace

namespace eventlog {

HANDLE registerSource(const std::wstring& source) {
    ExclusiveTask machineWide(registrationMutex);
    const std::wstring logKey = eventLogKey + std::wstring(logName);
    if (!registry::keyExists(HKEY_LOCAL_MACHINE, logKey, 0)) {
        tarvo::unique_hkey log = registry::create(HKEY_LOCAL_MACHINE, logKey, KEY_ALL_ACCESS);
        registry::set(log.get(), L"MaxSize", DWORD{0x800000});
        registry::set(log.get(), L"Retention", DWORD{0});
    }
    registry::Key sourceKey(HKEY_LOCAL_MACHINE, logKey + L"\\" + source, KEY_SET_VALUE, false);
    registry::set(sourceKey.get(), L"TypesSupported", DWORD{7});
    std::wstring root;
    logconfig::readString(L"PRODUCT_ROOT_D", root);
    const std::wstring messageFile = VFileName::combine(root, L"admin\\bin64\\eventmsg.dll");
    registry::set(sourceKey.get(), L"EventMessageFile", messageFile);
    return ::RegisterEventSourceW(nullptr, source.c_str());
}

WORD eventType(LogLevel level) noexcept {
    switch (level) {
        case LogLevel::Info: return EVENTLOG_INFORMATION_TYPE;
        case LogLevel::Warning: return EVENTLOG_WARNING_TYPE;
        case LogLevel::Result: return EVENTLOG_SUCCESS;
        default: return EVENTLOG_ERROR_TYPE;
    }
}

void report(EventSource& source, LogLevel level, const std::wstring& text) {
    if (!source.handle()) {
        const std::wstring name = source.name().empty() ? executableFileName() : source.name();
        HANDLE handle = registerSource(name);
        if (!handle) throwOsError(L"RegisterEventSource", ::GetLastError(), errorFrame(L"", "LogManager::getEventLog"));
        source.setHandle(handle);
    }
    const std::wstring executable = executablePath();
    const wchar_t* strings[] = {text.c_str(), executable.c_str()};
    if (!::ReportEventW(source.handle(), eventType(level), 0, 1, nullptr, 2, 0, strings, nullptr))
        source.setHandle(nullptr);
}

}  // namespace eventlog
