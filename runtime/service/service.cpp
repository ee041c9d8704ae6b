#include "runtime/service/service.h"

#include <algorithm>
#include <cwchar>

#include "runtime/errors/annotate.h"
#include "runtime/errors/format.h"
#include "runtime/holder.h"
#include "runtime/logging/logmanager.h"
#include "runtime/threads/cancelation.h"
#include "runtime/threads/wait.h"

namespace service {

namespace {

using tarvo::unique_schandle;

// Services are always opened with the standard rights and query-status access besides what the operation needs.
constexpr DWORD baseAccess = STANDARD_RIGHTS_REQUIRED | SERVICE_QUERY_STATUS;

// Without progress of the check point a wait ends after the wait hint plus this, and never later than
// maxWithoutProgressMs after the last progress.
constexpr ULONGLONG graceMs = 300000;
constexpr ULONGLONG maxWithoutProgressMs = 600000;

struct ControlStates {
    DWORD code;
    DWORD access;
    DWORD pending;
    DWORD target;
};

constexpr ControlStates controlStates[] = {
    {SERVICE_CONTROL_STOP, SERVICE_STOP, SERVICE_STOP_PENDING, SERVICE_STOPPED},
    {SERVICE_CONTROL_PAUSE, SERVICE_PAUSE_CONTINUE, SERVICE_PAUSE_PENDING, SERVICE_PAUSED},
    {SERVICE_CONTROL_CONTINUE, SERVICE_PAUSE_CONTINUE, SERVICE_CONTINUE_PENDING, SERVICE_RUNNING},
};

DWORD tickCount() {
    const seam::Clock* clock = seam::Scoped<seam::Clock>::current();
    return clock != nullptr ? clock->tickCount() : ::GetTickCount();
}

void sleep(DWORD ms) {
    const seam::Clock* clock = seam::Scoped<seam::Clock>::current();
    if (clock != nullptr)
        clock->sleep(ms);
    else
        tarvo::threads::Sleep(ms);
}

[[noreturn]] void fail(const std::wstring& text, DWORD code, const char* function) {
    throwOsError(text, code, errorFrame(L"", function));
}

[[noreturn]] void failQuery(const std::wstring& name, DWORD code, const char* function) {
    fail(L"QueryServiceStatus '" + name + L"'", code, function);
}

class servicemanager {
public:
    servicemanager(const wchar_t* machine, const wchar_t* database)
        : handle_(::OpenSCManagerW(machine, database, SC_MANAGER_CONNECT)) {
        if (!handle_)
            fail(L"OpenSCManager", ::GetLastError(), "`anonymous-namespace'::servicemanager::servicemanager");
    }

    // The service, or null with the system's error in `error`.
    unique_schandle open(const std::wstring& name, DWORD access, DWORD& error) const {
        unique_schandle service(::OpenServiceW(handle_.get(), name.c_str(), access));
        error = service ? ERROR_SUCCESS : ::GetLastError();
        return service;
    }

    unique_schandle open(const std::wstring& name, DWORD access, const char* function) const {
        DWORD error = ERROR_SUCCESS;
        unique_schandle service = open(name, access, error);
        if (!service) fail(L"OpenService '" + name + L"'", error, function);
        return service;
    }

private:
    unique_schandle handle_;
};

// The last status read from one service; dumped to the log when an exception leaves the operation.
class StatusReader {
public:
    StatusReader(const std::wstring& name, const char* function) : name_(name), function_(function) {}

    SERVICE_STATUS status{};

    // 0, or the error of the failed query (the status is then left as it was).
    DWORD tryRead(SC_HANDLE service) {
        SERVICE_STATUS fresh{};
        if (!::QueryServiceStatus(service, &fresh)) return ::GetLastError();
        status = fresh;
        read_ = true;
        return ERROR_SUCCESS;
    }
    void read(SC_HANDLE service) {
        if (const DWORD error = tryRead(service)) failQuery(name_, error, function_);
    }

    // Runs `body`; an exception leaves after the dump of the last status read.
    template <typename Body>
    decltype(auto) dumpOnFailure(Body&& body) {
        try {
            return body();
        } catch (...) {
            if (read_) logStatus(status);
            throw;
        }
    }

private:
    const std::wstring& name_;
    const char* function_;
    bool read_ = false;
};

// Polls while the service is in `pending`, following its wait hint, until it leaves that state (0), makes
// no progress of its check point for too long (ERROR_TIMEOUT) or `refresh` fails (its error).
template <typename Refresh>
DWORD waitWhilePending(SERVICE_STATUS& status, DWORD pending, Refresh&& refresh) {
    DWORD start = tickCount();
    DWORD lastCheckPoint = status.dwCheckPoint;
    while (status.dwCurrentState == pending) {
        sleep(std::clamp<DWORD>(status.dwWaitHint / 10, 1000, 10000));
        if (const DWORD error = refresh()) return error;
        if (status.dwCheckPoint > lastCheckPoint) {
            start = tickCount();
            lastCheckPoint = status.dwCheckPoint;
            continue;
        }
        const ULONGLONG elapsed = static_cast<DWORD>(tickCount() - start);  // across the tick count's wrap
        if (elapsed > status.dwWaitHint + graceMs || elapsed > maxWithoutProgressMs) return ERROR_TIMEOUT;
    }
    return ERROR_SUCCESS;
}

NameList neighbours(const std::wstring& name, bool start, const wchar_t* machine, const wchar_t* database) {
    NameList names;
    if (const seam::Neighbours* hooks = seam::Scoped<seam::Neighbours>::current()) {
        (start ? hooks->dependencies : hooks->dependents)(names, name);
    } else if (start) {
        serviceDependencies(names, name, machine, database);
    } else {
        dependentServices(names, name, SERVICE_ACTIVE, machine, database);
    }
    return names;
}

}  // namespace

void logStatus(const SERVICE_STATUS& status) noexcept {
    vlog(LogLevel::Info, L"  Service Type: 0x%x", static_cast<unsigned>(status.dwServiceType));
    vlog(LogLevel::Info, L"  Controls Accepted: 0x%x", static_cast<unsigned>(status.dwControlsAccepted));
    vlog(LogLevel::Info, L"  Current State: %d", static_cast<int>(status.dwCurrentState));
    vlog(LogLevel::Info, L"  Exit Code: %d", static_cast<int>(status.dwWin32ExitCode));
    vlog(LogLevel::Info, L"  Service Specific Exit Code: %d", static_cast<int>(status.dwServiceSpecificExitCode));
    vlog(LogLevel::Info, L"  Check Point: %d", static_cast<int>(status.dwCheckPoint));
    vlog(LogLevel::Info, L"  Wait Hint: %d", static_cast<int>(status.dwWaitHint));
}

DWORD controlService(DWORD code, const std::wstring& name, const wchar_t* machine, const wchar_t* database) {
    constexpr const char* function = "service::controlService";
    const auto states = std::find_if(std::begin(controlStates), std::end(controlStates),
                                     [&](const ControlStates& s) { return s.code == code; });
    if (states == std::end(controlStates))
        throw ArgumentException(formatString(L"Unsupported control %d for service '%s'", static_cast<int>(code), name),
                                errorFrame(L"", function));
    const servicemanager manager(machine, database);
    DWORD error = ERROR_SUCCESS;
    const unique_schandle service = manager.open(name, states->access | baseAccess, error);
    if (!service) {
        if (code == SERVICE_CONTROL_STOP && error == ERROR_SERVICE_DOES_NOT_EXIST) return ERROR_SUCCESS;
        fail(L"OpenService '" + name + L"'", error, function);
    }
    StatusReader reader(name, function);
    SERVICE_STATUS& status = reader.status;
    return reader.dumpOnFailure([&]() -> DWORD {
        reader.read(service.get());
        if (code == SERVICE_CONTROL_STOP) {
            // A service on its way to another state takes no stop until it gets there (a start pending one
            // until it runs): it is waited for, then stopped. A paused service takes the stop as it is.
            for (const DWORD pending : {SERVICE_START_PENDING, SERVICE_CONTINUE_PENDING, SERVICE_PAUSE_PENDING})
                if (status.dwCurrentState == pending)
                    if (const DWORD result =
                            waitWhilePending(status, pending, [&] { return reader.tryRead(service.get()); })) {
                        vlog(LogLevel::Warning, L"controlService fail");
                        logStatus(status);
                        return result;
                    }
            if (status.dwCurrentState == SERVICE_STOPPED) return ERROR_SUCCESS;
        }
        const DWORD before = status.dwCurrentState;
        SERVICE_STATUS answer{};
        if (!::ControlService(service.get(), code, &answer)) {
            const DWORD refused = ::GetLastError();
            if (code == SERVICE_CONTROL_STOP && (refused == ERROR_SERVICE_NOT_ACTIVE || refused == ERROR_BROKEN_PIPE))
                return ERROR_SUCCESS;
            // The same control already under way is waited for like a new one.
            if (!(refused == ERROR_SERVICE_CANNOT_ACCEPT_CTRL && before == states->pending))
                fail(formatString(L"ControlService '%s' with code %d", name, static_cast<int>(code)), refused, function);
        }
        // Give the service up to a minute to take the control up.
        for (int poll = 1;; ++poll) {
            reader.read(service.get());
            if (status.dwCurrentState != before || status.dwCurrentState == states->target || poll == 60) break;
            sleep(1000);
        }
        DWORD result = waitWhilePending(status, states->pending, [&] { return reader.tryRead(service.get()); });
        if (status.dwCurrentState == states->target) return ERROR_SUCCESS;
        if (result == ERROR_SUCCESS) result = ERROR_TIMEOUT;  // it settled in another state
        vlog(LogLevel::Warning, L"controlService fail");
        logStatus(status);
        return result;
    });
}

DWORD startService(const std::wstring& name, const wchar_t* machine, const wchar_t* database) {
    constexpr const char* function = "service::startService";
    return annotate(function, [&] { return formatString(L"startService(%s)", name); }, [&]() -> DWORD {
        ThreadCancelation::CancelationPoint point(ThreadCancelation::Deferred);
        const servicemanager manager(machine, database);
        const unique_schandle service = manager.open(name, SERVICE_ALL_ACCESS, function);
        StatusReader reader(name, function);
        SERVICE_STATUS& status = reader.status;
        return reader.dumpOnFailure([&]() -> DWORD {
            reader.read(service.get());
            bool start = false;
            switch (status.dwCurrentState) {
                case SERVICE_STOPPED:
                    start = true;
                    break;
                case SERVICE_STOP_PENDING:
                    if (const DWORD result = controlService(SERVICE_CONTROL_STOP, name, machine, database)) return result;
                    start = true;
                    break;
                case SERVICE_CONTINUE_PENDING:
                case SERVICE_PAUSED:
                    return controlService(SERVICE_CONTROL_CONTINUE, name, machine, database);
                case SERVICE_PAUSE_PENDING:
                    if (const DWORD result = controlService(SERVICE_CONTROL_PAUSE, name, machine, database))
                        return result;
                    return controlService(SERVICE_CONTROL_CONTINUE, name, machine, database);
                default:  // start pending or running: wait for it
                    break;
            }
            if (start) {
                if (!::StartServiceW(service.get(), 0, nullptr)) {
                    const DWORD error = ::GetLastError();
                    if (error != ERROR_SERVICE_ALREADY_RUNNING) fail(L"StartService '" + name + L"'", error, function);
                }
                reader.read(service.get());
            }
            DWORD result = waitWhilePending(status, SERVICE_START_PENDING, [&] {
                reader.read(service.get());
                return ERROR_SUCCESS;
            });
            if (status.dwCurrentState == SERVICE_RUNNING) return ERROR_SUCCESS;
            if (result != ERROR_TIMEOUT) {
                result = status.dwWin32ExitCode;
                if (result == ERROR_SERVICE_SPECIFIC_ERROR) result = status.dwServiceSpecificExitCode;
                if (result == ERROR_SUCCESS) result = status.dwCurrentState;
            }
            vlog(LogLevel::Warning, L"StartService '%s' failed", name);
            logStatus(status);
            return result;
        });
    });
}

DWORD queryStatusService(SERVICE_STATUS& status, const std::wstring& name, const wchar_t* machine,
                         const wchar_t* database) {
    constexpr const char* function = "service::queryStatusService";
    const servicemanager manager(machine, database);
    const unique_schandle service = manager.open(name, SERVICE_QUERY_STATUS, function);
    if (!::QueryServiceStatus(service.get(), &status)) failQuery(name, ::GetLastError(), function);
    return ERROR_SUCCESS;
}

bool isActive(const std::wstring& name, const wchar_t* machine, const wchar_t* database) {
    SERVICE_STATUS status{};
    queryStatusService(status, name, machine, database);
    return status.dwCurrentState == SERVICE_START_PENDING || status.dwCurrentState == SERVICE_RUNNING ||
           status.dwCurrentState == SERVICE_CONTINUE_PENDING;
}

bool isStopped(const std::wstring& name, const wchar_t* machine, const wchar_t* database) {
    SERVICE_STATUS status{};
    queryStatusService(status, name, machine, database);
    return status.dwCurrentState == SERVICE_STOPPED;
}

void dependentServices(NameList& names, const std::wstring& name, DWORD stateFilter, const wchar_t* machine,
                       const wchar_t* database) {
    constexpr const char* function = "service::dependentServices";
    const servicemanager manager(machine, database);
    const unique_schandle service = manager.open(name, SERVICE_ENUMERATE_DEPENDENTS, function);
    // Entries hold pointers into the same buffer: keep it aligned for them. One entry to begin with.
    std::vector<ENUM_SERVICE_STATUSW> buffer(1);
    DWORD needed = 0, count = 0;
    while (!::EnumDependentServicesW(service.get(), stateFilter, buffer.data(),
                                     static_cast<DWORD>(buffer.size() * sizeof buffer[0]), &needed, &count)) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_MORE_DATA) fail(L"enum dependent services of service '" + name + L"'", error, function);
        buffer.resize((needed + sizeof buffer[0] - 1) / sizeof buffer[0]);
    }
    for (DWORD i = 0; i < count; ++i) names.emplace_back(buffer[i].lpServiceName);
}

void serviceDependencies(NameList& names, const std::wstring& name, const wchar_t* machine, const wchar_t* database) {
    constexpr const char* function = "service::serviceDependencies";
    const servicemanager manager(machine, database);
    const unique_schandle service = manager.open(name, SERVICE_QUERY_CONFIG, function);
    // Pointer-aligned storage of 260 bytes to begin with.
    std::vector<ULONG_PTR> buffer((260 + sizeof(ULONG_PTR) - 1) / sizeof(ULONG_PTR));
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    DWORD needed = 0;
    while (!::QueryServiceConfigW(service.get(), config, static_cast<DWORD>(buffer.size() * sizeof buffer[0]),
                                  &needed)) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER) fail(L"query service config '" + name + L"'", error, function);
        buffer.resize((needed + sizeof buffer[0] - 1) / sizeof buffer[0]);
        config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    }
    // NUL-ended names, ended by an empty one.
    for (const wchar_t* entry = config->lpDependencies; entry != nullptr && *entry != L'\0';
         entry += std::wcslen(entry) + 1)
        names.emplace_back(entry);
}

void startStopService(const std::wstring& name, bool start, const wchar_t* machine, const wchar_t* database,
                      ProgressCallback callback, void* context, NameList* stopped) {
    // Done only in the state asked for: a paused or stop pending service is not yet stopped.
    if (start ? isActive(name, machine, database) : isStopped(name, machine, database)) return;
    if (callback != nullptr) callback(0, name, context);
    for (const std::wstring& neighbour : neighbours(name, start, machine, database)) {
        // A load-order group is no service: the service manager starts its members with the dependent.
        if (start && neighbour.starts_with(SC_GROUP_IDENTIFIERW)) continue;
        if (!start && stopped != nullptr && std::find(stopped->begin(), stopped->end(), neighbour) == stopped->end())
            stopped->push_back(neighbour);
        startStopService(neighbour, start, machine, database, nullptr, nullptr, stopped);
    }
    if (callback != nullptr) callback(start ? 1 : 2, name, context);
    const DWORD result = start ? startService(name, machine, database)
                               : controlService(SERVICE_CONTROL_STOP, name, machine, database);
    if (result != ERROR_SUCCESS)
        throwOsError((start ? L"Start service " : L"Stop service ") + name, result,
                     errorFrame(L"", "service::startStopService"));
}

}  // namespace service
