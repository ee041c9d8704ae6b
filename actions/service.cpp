#include "actions/service.h"

#include "runtime/errors/annotate.h"
#include "msi/vmsi.h"
#include "runtime/errors/format.h"
#include "runtime/threads/cancelation.h"

// ---- StartStopServiceAction ----

StartStopServiceAction::StartStopServiceAction(std::wstring text, std::wstring serviceName, bool start)
    : Action(std::move(text)), serviceName_(std::move(serviceName)), start_(start) {}

std::unique_ptr<Action> StartStopServiceAction::CreateAction(const std::wstring& parameters,
                                                             const std::wstring& text) {
    std::vector<std::wstring> fields = factoryFields(parameters, "StartStopServiceAction", 2, 2);
    return std::make_unique<StartStopServiceAction>(text, std::move(fields[1]), fields[0] == L"true");
}

void StartStopServiceAction::execute(vmsi&) {
    undo_.before(serviceName_, start_, start_ ? !service::isActive(serviceName_) : !service::isStopped(serviceName_));
    service::NameList stoppedDependents;
    try {
        service::startStopService(serviceName_, start_, nullptr, nullptr, nullptr, nullptr,
                                  start_ ? nullptr : &stoppedDependents);
    } catch (...) {
        undo_.after(stoppedDependents);  // the dependents stopped on the way run again
        undo_.putBack();
        throw;
    }
    undo_.after(stoppedDependents);
}

// The service goes back to the state it was in, and the dependents the stop took along run again, each while
// it is still where the action left it.
void StartStopServiceAction::rollback(vmsi& session) { undo_.undo(session); }

// ---- RestartServiceAction ----

RestartServiceAction::RestartServiceAction(std::wstring text, std::wstring serviceName)
    : Action(std::move(text)), serviceName_(std::move(serviceName)) {}

std::unique_ptr<Action> RestartServiceAction::CreateAction(const std::wstring& parameters, const std::wstring& text) {
    std::vector<std::wstring> fields = factoryFields(parameters, "RestartServiceAction", 1, 1);
    return std::make_unique<RestartServiceAction>(text, std::move(fields[0]));
}

void RestartServiceAction::execute(vmsi&) {
    annotate("RestartServiceAction::Commit", [&] { return formatString(L"Restart service %s", serviceName_); }, [&] {
        ThreadCancelation::CancelationPoint point(ThreadCancelation::Deferred);
        // The dependents stopped on the way are started again afterwards, each after what it depends on.
        service::NameList stopped;
        service::startStopService(serviceName_, false, nullptr, nullptr, nullptr, nullptr, &stopped);
        service::startStopService(serviceName_, true);
        for (const std::wstring& name : stopped) service::startStopService(name, true);
    });
}

// A restart leaves the service running as it was before (or fails with it stopped, which the failure
// message reports): there is no earlier state to go back to.
void RestartServiceAction::rollback(vmsi& session) {
    session.log(L"Rollback: the restart of service '%s' is not undone", serviceName_);
}
