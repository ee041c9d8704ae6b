#pragma once
// "StartStopService": one service to running or to stopped; "RestartService": a service stopped and started
// again, together with the running services that had to stop because they depend on it.
#include <memory>
#include <string>

#include "engine/action.h"
#include "engine/undo.h"
#include "runtime/service/service.h"

class StartStopServiceAction : public Action {
public:
    StartStopServiceAction(std::wstring text, std::wstring serviceName, bool start);
    // Parameters: mode ("true" starts, anything else stops), service name.
    static std::unique_ptr<Action> CreateAction(const std::wstring& parameters, const std::wstring& text);

    void execute(vmsi& session) override;
    void rollback(vmsi& session) override;

private:
    std::wstring serviceName_;
    bool start_;
    ServiceUndo undo_;
};

class RestartServiceAction : public Action {
public:
    RestartServiceAction(std::wstring text, std::wstring serviceName);
    // Parameters: service name.
    static std::unique_ptr<Action> CreateAction(const std::wstring& parameters, const std::wstring& text);

    void execute(vmsi& session) override;
    void rollback(vmsi& session) override;

private:
    std::wstring serviceName_;
};
