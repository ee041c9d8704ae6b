#pragma once
// Service control: start, stop, pause and continue services through the service control manager, waiting
// until they reach the requested state by their own progress reports; starts and stops that take the
// services depended on and the dependent services along.
//
// Every operation takes the machine and the service database, passed to OpenSCManager unchanged (null:
// the local machine, the active database), and opens and closes its own handles.
#include <windows.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace service {

using NameList = std::vector<std::wstring>;

// Called by startStopService with phase 0 before the neighbouring services are handled, then 1 (start) or
// 2 (stop) before the service itself.
using ProgressCallback = void (*)(DWORD phase, const std::wstring& name, void* context);

// Sends stop (1), pause (2) or continue (3) and waits for stopped, paused or running. 0 when the service
// got there; otherwise the time-out (1460) or the error of a failed status query, after a Warning and the
// status dump. A stop of a service that does not exist or is stopped is 0; a stop of a service that is
// starting, pausing or continuing waits until it gets there, then stops it.
DWORD controlService(DWORD code, const std::wstring& name, const wchar_t* machine = nullptr,
                     const wchar_t* database = nullptr);
// Brings the service to running (starting it, or continuing it when paused). 0 when it runs; otherwise the
// time-out, the service's exit code (its own code for a service-specific error) or its state.
DWORD startService(const std::wstring& name, const wchar_t* machine = nullptr, const wchar_t* database = nullptr);
DWORD queryStatusService(SERVICE_STATUS& status, const std::wstring& name, const wchar_t* machine = nullptr,
                         const wchar_t* database = nullptr);
// Start pending, running or continue pending.
bool isActive(const std::wstring& name, const wchar_t* machine = nullptr, const wchar_t* database = nullptr);
// Stopped: any other state (paused, stop pending...) still has the service's process running.
bool isStopped(const std::wstring& name, const wchar_t* machine = nullptr, const wchar_t* database = nullptr);
// Appends the services that depend on `name` and match `stateFilter`, in the order the system gives for
// stopping them.
void dependentServices(NameList& names, const std::wstring& name, DWORD stateFilter, const wchar_t* machine = nullptr,
                       const wchar_t* database = nullptr);
// Appends what `name` depends on: services, and load-order groups (with their "+" prefix).
void serviceDependencies(NameList& names, const std::wstring& name, const wchar_t* machine = nullptr,
                         const wchar_t* database = nullptr);
// Brings the service to running (after the services it depends on) or to stopped (after the active
// services that depend on it, whose names are appended to `stopped` when given, each once, before its own
// dependents). Throws "Start service NAME" / "Stop service NAME" with the result of a failed start or stop.
void startStopService(const std::wstring& name, bool start, const wchar_t* machine = nullptr,
                      const wchar_t* database = nullptr, ProgressCallback callback = nullptr, void* context = nullptr,
                      NameList* stopped = nullptr);

// Logs the status at level Info, one field a line.
void logStatus(const SERVICE_STATUS& status) noexcept;

// Replaceable parts, for tests.
namespace seam {

// The clock of the waits: the tick count and the interruptible sleep.
struct Clock {
    std::function<DWORD()> tickCount;
    std::function<void(DWORD ms)> sleep;
};

// The two questions startStopService asks about a service's neighbours: its active dependents and what
// it depends on.
struct Neighbours {
    std::function<void(NameList& names, const std::wstring& name)> dependents;
    std::function<void(NameList& names, const std::wstring& name)> dependencies;
};

// Puts `hooks` in place of the real ones while it lives.
template <typename Hooks>
class Scoped {
public:
    explicit Scoped(Hooks hooks) : hooks_(std::move(hooks)), previous_(std::exchange(current(), &hooks_)) {}
    Scoped(const Scoped&) = delete;
    Scoped& operator=(const Scoped&) = delete;
    ~Scoped() { current() = previous_; }

    // The hooks in place, or null for the real ones.
    static const Hooks*& current() noexcept {
        static const Hooks* hooks = nullptr;
        return hooks;
    }

private:
    Hooks hooks_;
    const Hooks* previous_;
};

}  // namespace seam

}  // namespace service
