// A Windows service whose behaviour its command line (the service's binPath arguments) sets, for the tests
// and the sample package: tarvo_demoservice.exe [option...]
//   start=MS, stop=MS  how long the start and the stop take (default 0)
//   hint=MS            the wait hint reported while start or stop pending (default 2000)
//   steps=N            check points reported while pending, one every MS/N (default 2)
//   exit=CODE          the start fails: the service stops with the service-specific exit code CODE
//   nostop             the stop control is not accepted (the user control 200 still stops it)
//   pause              pause and continue are accepted
//   gate=NAME          no timer: each check point of a pending phase waits for the auto-reset event
//                      Global\NAME, and Global\NAME-ack is set once the next state has been reported
//   log=PATH           appends "<service name> <process id> running" just before reporting running and
//                      "<service name> <process id> stopped" just before reporting stopped
#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <map>
#include <string>

namespace {

std::map<std::wstring, std::wstring> options;
DWORD number(const wchar_t* key, DWORD fallback) {
    return options.count(key) ? static_cast<DWORD>(std::wcstoul(options[key].c_str(), nullptr, 10)) : fallback;
}

std::wstring serviceName;
SERVICE_STATUS_HANDLE statusHandle = nullptr;
SERVICE_STATUS status{};
CRITICAL_SECTION statusLock;
HANDLE stopRequested = nullptr, gate = nullptr, gateAck = nullptr, finished = nullptr;

void report(DWORD state, DWORD checkPoint = 0) {
    ::EnterCriticalSection(&statusLock);
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwCheckPoint = checkPoint;
    status.dwWaitHint = checkPoint != 0 ? number(L"hint", 2000) : 0;
    status.dwControlsAccepted = 0;
    if (state == SERVICE_RUNNING || state == SERVICE_PAUSED)
        status.dwControlsAccepted = (options.count(L"nostop") ? 0 : SERVICE_ACCEPT_STOP) |
                                    (options.count(L"pause") ? SERVICE_ACCEPT_PAUSE_CONTINUE : 0);
    ::SetServiceStatus(statusHandle, &status);
    ::LeaveCriticalSection(&statusLock);
}

void appendLog(const wchar_t* what) {
    if (!options.count(L"log")) return;
    HANDLE file = ::CreateFileW(options[L"log"].c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    wchar_t wide[512];
    std::swprintf(wide, 512, L"%ls %lu %ls\r\n", serviceName.c_str(), ::GetCurrentProcessId(), what);
    char line[1024];
    const int length = ::WideCharToMultiByte(CP_UTF8, 0, wide, -1, line, sizeof line, nullptr, nullptr);
    DWORD written = 0;
    if (length > 1) ::WriteFile(file, line, static_cast<DWORD>(length - 1), &written, nullptr);
    ::CloseHandle(file);
}

void acknowledge() {
    if (gateAck != nullptr) ::SetEvent(gateAck);
}

// Reports `state` with check points 1..steps, each held for its share of `ms` or until the gate opens; the
// caller reports the state that follows.
void pendingPhase(DWORD state, DWORD ms) {
    if (ms == 0 && gate == nullptr) return;
    const DWORD steps = std::max<DWORD>(number(L"steps", 2), 1);
    for (DWORD checkPoint = 1; checkPoint <= steps; ++checkPoint) {
        report(state, checkPoint);
        if (checkPoint > 1) acknowledge();
        if (gate != nullptr)
            ::WaitForSingleObject(gate, INFINITE);
        else
            ::Sleep(ms / steps);
    }
}

DWORD WINAPI handler(DWORD control, DWORD, void*, void*) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case 200:  // stops even a service that refuses the stop control
            report(SERVICE_STOP_PENDING, 1);
            ::SetEvent(stopRequested);
            return NO_ERROR;
        case SERVICE_CONTROL_PAUSE:
        case SERVICE_CONTROL_CONTINUE: {
            const bool pause = control == SERVICE_CONTROL_PAUSE;
            report(pause ? SERVICE_PAUSE_PENDING : SERVICE_CONTINUE_PENDING, 1);
            report(pause ? SERVICE_PAUSED : SERVICE_RUNNING);
            return NO_ERROR;
        }
        case SERVICE_CONTROL_INTERROGATE: return NO_ERROR;
        default: return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI serviceMain(DWORD argc, wchar_t** argv) {
    serviceName = argc > 0 ? argv[0] : L"";
    statusHandle = ::RegisterServiceCtrlHandlerExW(serviceName.c_str(), &handler, nullptr);
    if (statusHandle == nullptr) {
        ::SetEvent(finished);
        return;
    }
    pendingPhase(SERVICE_START_PENDING, number(L"start", 0));
    if (const DWORD exitCode = number(L"exit", 0)) {
        appendLog(L"failed");
        ::EnterCriticalSection(&statusLock);
        status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
        status.dwServiceSpecificExitCode = exitCode;
        ::LeaveCriticalSection(&statusLock);
    } else {
        appendLog(L"running");
        report(SERVICE_RUNNING);
        acknowledge();
        ::WaitForSingleObject(stopRequested, INFINITE);
        pendingPhase(SERVICE_STOP_PENDING, number(L"stop", 0));
        appendLog(L"stopped");
    }
    report(SERVICE_STOPPED);
    acknowledge();
    ::SetEvent(finished);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring argument = argv[i];
        const size_t equals = argument.find(L'=');
        options[argument.substr(0, equals)] = equals == std::wstring::npos ? L"" : argument.substr(equals + 1);
    }
    ::InitializeCriticalSection(&statusLock);
    stopRequested = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    finished = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (options.count(L"gate")) {
        gate = ::CreateEventW(nullptr, FALSE, FALSE, (L"Global\\" + options[L"gate"]).c_str());
        gateAck = ::CreateEventW(nullptr, FALSE, FALSE, (L"Global\\" + options[L"gate"] + L"-ack").c_str());
    }
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(L""), &serviceMain}, {nullptr, nullptr}};
    if (!::StartServiceCtrlDispatcherW(table)) return static_cast<int>(::GetLastError());
    // The dispatcher returns once the service reports stopped; let its thread finish its last steps.
    ::WaitForSingleObject(finished, 10000);
    return 0;
}
