// Service control and the service actions, against the service manager of the Wine prefix with the test
// service (tools/demoservice/demoservice.cpp). Services live only as long as a test: each gets a unique name
// and is deleted afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <map>
#include <sstream>

#include "actions/service.h"
#include "engine/action.h"
#include "engine/executor.h"
#include "engine/undo.h"
#include "msi/vmsi.h"
#include "runtime/errors/codepage.h"
#include "runtime/service/service.h"
#include "tests/msisession.h"
#include "tests/testutil.h"

namespace {

using namespace std::string_literals;

// One service of the test program with `options` as its arguments, stopped and deleted at the end. Gated, its
// pending phases move on only when the test opens the gate.
class TestService {
public:
    explicit TestService(const std::wstring& options, bool gated = false) : name_(uniqueName(L"svc")) {
        std::wstring command = L"\"" + programFolder() + L"\\tarvo_demoservice.exe\" " + options;
        if (gated) {
            command += L" gate=" + name_;
            gate_.reset(::CreateEventW(nullptr, FALSE, FALSE, (L"Global\\" + name_).c_str()));
            ack_.reset(::CreateEventW(nullptr, FALSE, FALSE, (L"Global\\" + name_ + L"-ack").c_str()));
        }
        const tarvo::unique_schandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        handle_.reset(::CreateServiceW(manager.get(), name_.c_str(), name_.c_str(), SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                       command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
        if (!handle_) ADD_FAILURE() << "CreateService failed: " << ::GetLastError();
    }
    ~TestService() {
        // Gates opened, and the user control 200 that stops even a service refusing the stop control.
        for (int i = 0; i < 400 && state() != SERVICE_STOPPED; ++i) {
            if (gate_) ::SetEvent(gate_.get());
            if (state() == SERVICE_RUNNING || state() == SERVICE_PAUSED) control(200);
            ::Sleep(25);
        }
        if (state() != SERVICE_STOPPED) {
            ADD_FAILURE() << "the test service did not stop";
            tarvo::unique_handle process(::OpenProcess(PROCESS_TERMINATE, FALSE, processId()));
            if (process) ::TerminateProcess(process.get(), 1);
        }
        ::DeleteService(handle_.get());
    }

    const std::wstring& name() const { return name_; }
    SERVICE_STATUS_PROCESS status() const {
        SERVICE_STATUS_PROCESS status{};
        DWORD needed = 0;
        ::QueryServiceStatusEx(handle_.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                               &needed);
        return status;
    }
    DWORD state() const { return status().dwCurrentState; }
    DWORD processId() const { return status().dwProcessId; }
    bool control(DWORD code) {
        SERVICE_STATUS ignored;
        return ::ControlService(handle_.get(), code, &ignored) != FALSE;
    }
    // Lets one check point of a pending phase pass and waits until the service has reported what follows.
    void step() {
        ::SetEvent(gate_.get());
        ::WaitForSingleObject(ack_.get(), 5000);
    }
    // Started outside the code under test, gates opened until it runs.
    void bringUp() {
        ASSERT_TRUE(::StartServiceW(handle_.get(), 0, nullptr)) << ::GetLastError();
        for (int i = 0; i < 400 && state() != SERVICE_RUNNING; ++i) gate_ ? step() : ::Sleep(10);
        ASSERT_EQ(state(), DWORD{SERVICE_RUNNING});
    }

private:
    std::wstring name_;
    tarvo::unique_schandle handle_;
    tarvo::unique_handle gate_, ack_;
};

// Time that passes only when the waits sleep, starting just before the tick count wraps.
struct FakeClock {
    DWORD start = 0xFFFFFFFFu - 100000;
    DWORD now = start;
    std::function<void(DWORD elapsed)> afterSleep;

    service::seam::Clock clock() {
        return {[this] { return now; }, [this](DWORD ms) {
                    now += ms;
                    if (afterSleep) afterSleep(now - start);
                }};
    }
    DWORD elapsed() const { return now - start; }
};

// Rows run the way a stage runs them, in this process (so that the seams apply).
UINT runRows(vmsi& session, const std::vector<std::array<std::wstring, 2>>& rows, const wchar_t* stage = L"Services") {
    ActionList actions;
    for (const auto& [type, parameters] : rows) actions.push_back(Action::CreateAction(type, parameters, L"Row", true));
    return executeList(session, 5, actions, stage);
}
UINT runRow(MsiSession& package, const std::wstring& type, const std::wstring& parameters) {
    vmsi session(package.handle());
    return runRows(session, {{type, parameters}});
}

// The waits poll every few milliseconds instead of every second or more; real time still rules the time-outs.
class Services : public ::testing::Test {
protected:
    service::seam::Scoped<service::seam::Clock> quick{service::seam::Clock{
        [] { return ::GetTickCount(); }, [](DWORD ms) { ::Sleep(std::min<DWORD>(ms, 5)); }}};
};

}  // namespace

TEST_F(Services, APausedServiceIsContinuedByAStartAndStoppedByAStop) {
    TestService svc(L"pause");
    svc.bringUp();
    const DWORD process = svc.processId();
    EXPECT_EQ(service::controlService(SERVICE_CONTROL_PAUSE, svc.name()), 0u);
    EXPECT_EQ(svc.state(), DWORD{SERVICE_PAUSED});
    EXPECT_FALSE(service::isActive(svc.name()));
    service::startStopService(svc.name(), true);
    EXPECT_EQ(svc.state(), DWORD{SERVICE_RUNNING});
    EXPECT_EQ(svc.processId(), process);
    EXPECT_EQ(service::controlService(SERVICE_CONTROL_PAUSE, svc.name()), 0u);
    service::startStopService(svc.name(), false);
    EXPECT_EQ(svc.state(), DWORD{SERVICE_STOPPED});
}

TEST_F(Services, AServiceThatRefusesTheStopControlIsNotReportedStopped) {
    TestService svc(L"nostop");
    svc.bringUp();
    CapturedLog log;
    const vexception e = thrownVexception([&] { service::startStopService(svc.name(), false); });
    EXPECT_TRUE(contains(e.message(), L"(Error code 1052) at ControlService '" + svc.name() + L"' with code 1"))
        << cstr(e.message(), CP_UTF8);
    EXPECT_EQ(e.frames().at(0).function, "service::controlService");
    EXPECT_EQ(svc.state(), DWORD{SERVICE_RUNNING});
    EXPECT_TRUE(anyContains(log.lines(), L"Info:   Controls Accepted: 0x0"));  // the last status, dumped
}

TEST_F(Services, AStopUnderWayIsWaitedForBeforeTheStartAndTheStop) {
    TestService svc(L"steps=2", true);
    svc.bringUp();
    const DWORD process = svc.processId();
    ASSERT_TRUE(svc.control(SERVICE_CONTROL_STOP));
    ASSERT_EQ(svc.state(), DWORD{SERVICE_STOP_PENDING});
    // The stop control cannot be sent again while it is under way; the stop goes on at each poll.
    FakeClock fake;
    fake.afterSleep = [&](DWORD) { svc.step(); };
    service::seam::Scoped<service::seam::Clock> clock(fake.clock());
    EXPECT_EQ(service::startService(svc.name()), 0u);
    EXPECT_EQ(svc.state(), DWORD{SERVICE_RUNNING});
    EXPECT_NE(svc.processId(), process);
    // So is a stop under way before a stop: it is not done until the service is stopped.
    ASSERT_TRUE(svc.control(SERVICE_CONTROL_STOP));
    ASSERT_EQ(svc.state(), DWORD{SERVICE_STOP_PENDING});
    service::startStopService(svc.name(), false);
    EXPECT_EQ(svc.state(), DWORD{SERVICE_STOPPED});
}

TEST_F(Services, AMissingServiceStopsAsNothingAndFailsTheRowsInTheStateQuery) {
    const std::wstring missing = uniqueName(L"svc");
    {
        CapturedLog log;
        EXPECT_EQ(service::controlService(SERVICE_CONTROL_STOP, missing), 0u);
        EXPECT_TRUE(log.lines().empty());
    }
    MsiSession package;
    for (const auto& [type, parameters] : {std::pair{L"StartStopService"s, L"false," + missing},
                                           std::pair{L"StartStopService"s, L"true," + missing},
                                           std::pair{L"RestartService"s, missing}}) {
        package.clearMessages();
        EXPECT_EQ(runRow(package, type, parameters), 1603u);
        const std::vector<std::wstring> errors = package.texts(kError);
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_TRUE(contains(errors[0], L"(Error code 1060) at OpenService '" + missing + L"'")) << cstr(errors[0], CP_UTF8);
        EXPECT_TRUE(contains(errors[0], L"(service::queryStatusService line "));
        EXPECT_EQ(contains(errors[0], L"at Restart service " + missing + L"(RestartServiceAction::Commit line "),
                  type == L"RestartService");
    }
}

TEST_F(Services, AFailedStartNamesServiceAndCodeWithTheStatusDumpInTheDebugLog) {
    // The start fails after a moment: Wine's StartService fails with 1053 for a service whose first report
    // is already "stopped".
    TestService svc(L"start=100 exit=42");
    ScopedDebugLogging debug(true);
    MsiSession package;
    EXPECT_EQ(runRow(package, L"StartStopService", L"true," + svc.name()), 1603u);
    const std::vector<std::wstring> errors = package.texts(kError);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_TRUE(contains(errors[0], L"(Error code 42) at Start service " + svc.name())) << cstr(errors[0], CP_UTF8);
    EXPECT_TRUE(anyContains(package.texts(kInfo), L"Warning: StartService '" + svc.name() + L"' failed"));
    EXPECT_TRUE(anyContains(package.texts(kInfo), L"Info:   Service Specific Exit Code: 42"));
}

TEST_F(Services, ARestartStartsAStoppedServiceAndAStartLeavesARunningOneAlone) {
    TestService svc(L"start=50 stop=50");
    MsiSession package;
    EXPECT_EQ(runRow(package, L"RestartService", L"," + svc.name() + L","), 0u);
    const DWORD process = svc.processId();
    EXPECT_EQ(runRow(package, L"StartStopService", L"true," + svc.name()), 0u);
    EXPECT_EQ(service::startService(svc.name()), 0u);
    EXPECT_NE(process, 0u);
    EXPECT_EQ(svc.processId(), process);
}

// The time-out rules, with a fake clock and a service held in its pending state.
TEST_F(Services, WithoutProgressAWaitEndsAfterTheHintAndFiveMinutesAndNeverAfterTenMinutes) {
    for (const auto& [hint, endsAt] : {std::pair{30000u, 333000u}, {0u, 301000u}, {500000u, 610000u}}) {
        TestService svc(L"hint=" + std::to_wstring(hint), true);
        svc.bringUp();
        FakeClock fake;
        CapturedLog log;
        {
            service::seam::Scoped<service::seam::Clock> clock(fake.clock());
            EXPECT_EQ(service::controlService(SERVICE_CONTROL_STOP, svc.name()), DWORD{ERROR_TIMEOUT});
        }
        EXPECT_EQ(fake.elapsed(), endsAt) << "hint " << hint;  // the first poll after the limit
        EXPECT_EQ(svc.state(), DWORD{SERVICE_STOP_PENDING});
        EXPECT_TRUE(anyContains(log.lines(), L"Warning: controlService fail"));
        EXPECT_TRUE(anyContains(log.lines(), L"Info:   Current State: 3"));
    }
    TestService starting(L"hint=30000", true);
    FakeClock fake;
    service::seam::Scoped<service::seam::Clock> clock(fake.clock());
    EXPECT_EQ(service::startService(starting.name()), DWORD{ERROR_TIMEOUT});
    // The manager's own start-pending report may come first, with no hint: then one shorter poll before.
    EXPECT_GE(fake.elapsed(), 333000u);
    EXPECT_LE(fake.elapsed(), 334000u);
}

TEST_F(Services, EachProgressOfTheCheckPointStartsTheTimeAgain) {
    TestService svc(L"hint=30000 steps=5", true);
    svc.bringUp();
    FakeClock fake;
    DWORD lastStep = 0;
    fake.afterSleep = [&](DWORD elapsed) {
        if (elapsed - lastStep < 300000) return;
        svc.step();
        lastStep = elapsed;
    };
    service::seam::Scoped<service::seam::Clock> clock(fake.clock());
    EXPECT_EQ(service::controlService(SERVICE_CONTROL_STOP, svc.name()), 0u);
    EXPECT_EQ(svc.state(), DWORD{SERVICE_STOPPED});
    EXPECT_EQ(fake.elapsed(), 5 * 300000u);
}

// After a critical failure each service goes back to the state it was in. Anything but exactly "true" stops.
TEST_F(Services, ARollbackPutsEachServiceBackAsItWas) {
    TestService running(L"start=50 stop=50"), stopped(L"start=50 stop=50");
    running.bringUp();
    MsiSession package;
    vmsi session(package.handle());
    ASSERT_EQ(runRows(session, {{L"StartStopService", L"True," + running.name()},
                                {L"StartStopService", L"true," + stopped.name()},
                                {L"StartStopService", L"true," + running.name()},
                                {L"FormBINDKey", L"C:\\no-such-dir\\a.conf,C:\\no-such-dir\\a.key"}}),
              1603u);
    EXPECT_EQ(running.state(), DWORD{SERVICE_RUNNING});
    EXPECT_EQ(stopped.state(), DWORD{SERVICE_STOPPED});
    const std::wstring log = package.log();
    for (const std::wstring& line : {running.name() + L"' is stopped again", stopped.name() + L"' is stopped again",
                                     running.name() + L"' is running again"})
        EXPECT_TRUE(contains(log, L"Rollback: service '" + line)) << log;
    EXPECT_TRUE(package.texts(kWarning).empty()) << "no rollback failed";
}

namespace {

// S with the dependents A and B, and D depending on A. Wine stores service dependencies but reports none
// (QueryServiceConfigW gives an empty list, EnumDependentServicesW none), so the two neighbour queries go
// through the seam here, answering as Windows does; starts and stops are real. Each service appends its
// starts and stops to one shared file.
class ServiceDependencies : public Services {
protected:
    ServiceDependencies() {
        for (const wchar_t* role : {L"S", L"A", L"B", L"D"}) {
            services[role] = std::make_unique<TestService>(L"\"log=" + logFile + L"\"");
            roleOf[services[role]->name()] = role;
        }
    }
    const std::wstring& real(const std::wstring& role) { return services.at(role)->name(); }

    // Neighbours by role, as names of the real services.
    service::seam::Neighbours answering(std::map<std::wstring, std::vector<std::wstring>> dependents,
                                        std::map<std::wstring, std::vector<std::wstring>> dependencies) {
        auto lookup = [this](std::map<std::wstring, std::vector<std::wstring>> table) {
            return [this, table](service::NameList& names, const std::wstring& name) {
                const auto found = table.find(roleOf.count(name) ? roleOf.at(name) : name);
                if (found == table.end()) return;
                for (const std::wstring& role : found->second) names.push_back(services.count(role) ? real(role) : role);
            };
        };
        return {lookup(std::move(dependents)), lookup(std::move(dependencies))};
    }

    // "D stopped", "S running", ... in the order the services wrote them since the last call.
    std::vector<std::wstring> events() {
        std::vector<std::wstring> result;
        std::wistringstream lines(readTextFile(logFile).substr(seen_));
        seen_ = readTextFile(logFile).size();
        for (std::wstring name, process, what; lines >> name >> process >> what;)
            result.push_back(roleOf.at(name) + L" " + what);
        return result;
    }
    std::vector<std::wstring> states() {
        std::vector<std::wstring> result;
        for (const auto& [role, svc] : services)
            result.push_back(role + (svc->state() == SERVICE_RUNNING ? L" running" : L""));
        return result;
    }

    const std::map<std::wstring, std::vector<std::wstring>> windowsDependencies = {
        {L"A", {L"S"}}, {L"B", {L"S"}}, {L"D", {L"A"}}};
    std::wstring logFile = tempDirectory() + L"\\services.log";
    std::map<std::wstring, std::unique_ptr<TestService>> services;
    std::map<std::wstring, std::wstring> roleOf;

private:
    size_t seen_ = 0;
};

}  // namespace

// Windows lists the dependents at every depth, in stopping order: each is stopped once. S also depends on a
// load-order group, which the service manager starts itself.
TEST_F(ServiceDependencies, ARestartStopsEachDependentOnceFirstAndStartsThemAgainAfterwards) {
    auto dependencies = windowsDependencies;
    dependencies[L"S"] = {L"+TarvoTestGroup"};
    service::seam::Scoped<service::seam::Neighbours> neighbours(
        answering({{L"S", {L"D", L"A", L"B"}}, {L"A", {L"D"}}}, dependencies));
    service::startStopService(real(L"D"), true);
    service::startStopService(real(L"B"), true);
    EXPECT_EQ(events(), (std::vector<std::wstring>{L"S running", L"A running", L"D running", L"B running"}));

    MsiSession package;
    EXPECT_EQ(runRow(package, L"RestartService", real(L"S")), 0u);
    EXPECT_EQ(events(), (std::vector<std::wstring>{L"D stopped", L"A stopped", L"B stopped", L"S stopped",
                                                   L"S running", L"A running", L"D running", L"B running"}));
    service::NameList stopped;
    service::startStopService(real(L"S"), false, nullptr, nullptr, nullptr, nullptr, &stopped);
    EXPECT_EQ(stopped, (service::NameList{real(L"D"), real(L"A"), real(L"B")}));
}

// The rollback of a stop, from the undo records alone (the stage's process is gone), starts the service and
// then each dependent the stop took along, the deeper ones too.
TEST_F(ServiceDependencies, TheRollbackOfAStopStartsTheDependentsItStoppedAgain) {
    service::seam::Scoped<service::seam::Neighbours> neighbours(
        answering({{L"S", {L"A", L"B"}}, {L"A", {L"D"}}}, windowsDependencies));
    service::startStopService(real(L"D"), true);
    service::startStopService(real(L"B"), true);
    MsiSession package;
    vmsi session(package.handle());
    UndoJournal journal(UndoJournal::newRunFolder(L"{TEST}"));
    {
        UndoJournal::Scope scope(journal);
        ASSERT_EQ(runRows(session, {{L"StartStopService", L"false," + real(L"S")}}, L"normal"), 0u);
    }
    ASSERT_EQ(states(), (std::vector<std::wstring>{L"A", L"B", L"D", L"S"}));
    journal.rollBack(session);
    EXPECT_EQ(states(), (std::vector<std::wstring>{L"A running", L"B running", L"D running", L"S running"}));
}
