#include "runtime/logging/eventlog.h"

#include "runtime/holder.h"
#include "runtime/logging/config.h"
#include "runtime/logging/logfile.h"
#include "runtime/threads/sync.h"

namespace {

constexpr const wchar_t* registrationMutex = L"Global\\{F485C63C-FF60-4c1a-A4BF-A3958C9F3D32}";
constexpr const wchar_t* eventLogKey = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\";

void setDword(HKEY key, const wchar_t* name, DWORD value) {
    if (const LSTATUS status = ::RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value))
        throwOsError(std::wstring(L"RegSetValueEx valueName=") + name, static_cast<DWORD>(status),
                     errorFrame(L"", "eventlog::registerSource"));
}

tarvo::unique_hkey createKey(const std::wstring& subkey, REGSAM access, bool* created = nullptr) {
    tarvo::unique_hkey key;
    DWORD disposition = 0;
    if (const LSTATUS status = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, nullptr, 0, access, nullptr,
                                                 key.put(), &disposition))
        throwOsError(L"RegCreateKeyEx subKey=" + subkey, static_cast<DWORD>(status),
                     errorFrame(L"", "eventlog::registerSource"));
    if (created) *created = disposition == REG_CREATED_NEW_KEY;
    return key;
}

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
    bool created = false;
    {
        tarvo::unique_hkey log = createKey(logKey, KEY_ALL_ACCESS, &created);
        if (created) {
            setDword(log.get(), L"MaxSize", 0x800000);
            setDword(log.get(), L"Retention", 0);
        }
    }
    tarvo::unique_hkey sourceKey = createKey(logKey + L"\\" + source, KEY_SET_VALUE);
    setDword(sourceKey.get(), L"TypesSupported", 7);
    std::wstring root;
    logconfig::readString(L"PRODUCT_ROOT_D", root);
    while (!root.empty() && (root.back() == L'\\' || root.back() == L'/')) root.pop_back();
    const std::wstring messageFile = (root.empty() ? root : root + L"\\") + L"admin\\bin64\\eventmsg.dll";
    if (const LSTATUS status = ::RegSetValueExW(sourceKey.get(), L"EventMessageFile", 0, REG_SZ,
                                                reinterpret_cast<const BYTE*>(messageFile.c_str()),
                                                static_cast<DWORD>((messageFile.size() + 1) * sizeof(wchar_t))))
        throwOsError(L"RegSetValueEx valueName=EventMessageFile", static_cast<DWORD>(status),
                     errorFrame(L"", "eventlog::registerSource"));
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
