#include "actions/service.h"

#include "runtime/errors/annotate.h"
#include "runtime/errors/format.h"
#include "runtime/service/service.h"
#include "runtime/threads/cancelation.h"

// ---- StartStopServiceAction ----

StartStopServiceAction::StartStopServiceAction(std::wstring text, std::wstring serviceName, bool start)
    : Action(std::move(text)), serviceName_(std::move(serviceName)), start_(start) {}

std::unique_ptr<Action> StartStopServiceAction::CreateAction(const std::wstring& parameters,
                                                             const std::wstring& text) {
    std::vector<std::wstring> fields = factoryFields(parameters, "StartStopServiceAction", 2, 2);
    return std::make_unique<StartStopServiceAction>(text, std::move(fields[1]), fields[0] == L"true");
}

void StartStopServiceAction::execute(vmsi&) { service::startStopService(serviceName_, start_); }

void StartStopServiceAction::rollback(vmsi&) {}

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

void RestartServiceAction::rollback(vmsi&) {}
