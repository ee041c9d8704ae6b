#pragma once
// Small helpers shared by the tests.
#include <windows.h>

// The product is built for Windows Vista and later; the tests run on newer systems and use a few of their flags.
#ifndef RRF_SUBKEY_WOW6464KEY
#define RRF_SUBKEY_WOW6464KEY 0x00010000
#define RRF_SUBKEY_WOW6432KEY 0x00020000
#endif

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/errors/vexception.h"
#include "runtime/logging/logmanager.h"

// Wine's ntdll exports wine_get_version; Windows' does not. For the few checks where Wine is known to differ.
inline bool runningUnderWine() {
    return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

// A name for a kernel object or pipe that no other test or run uses.
inline std::wstring uniqueName(const wchar_t* what) {
    static std::atomic<int> counter{0};
    return std::wstring(L"tarvo-test-") + what + L"-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
           std::to_wstring(++counter);
}

// The bytes of `text` as UTF-16.
inline std::string utf16(const std::wstring& text) {
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

inline bool contains(const std::wstring& text, const std::wstring& part) { return text.find(part) != std::wstring::npos; }

inline bool anyContains(const std::vector<std::wstring>& texts, const std::wstring& part) {
    return std::any_of(texts.begin(), texts.end(), [&](const std::wstring& t) { return contains(t, part); });
}

inline size_t countContaining(const std::vector<std::wstring>& texts, const std::wstring& part) {
    return static_cast<size_t>(
        std::count_if(texts.begin(), texts.end(), [&](const std::wstring& t) { return contains(t, part); }));
}

// A key under HKLM\SOFTWARE\TarvoTest (in either view), removed before and after the test.
class ScopedTestKey {
public:
    explicit ScopedTestKey(const std::wstring& name)
        : subkey_(L"SOFTWARE\\TarvoTest\\" + name + L"-" + std::to_wstring(::GetCurrentProcessId())) {
        remove();
    }
    ~ScopedTestKey() { remove(); }
    const std::wstring& subkey() const { return subkey_; }
    // The DWORD stored under `value`, or -1 with found = false.
    bool readDword(const std::wstring& value, DWORD& data, REGSAM view) const {
        DWORD size = sizeof data;
        return ::RegGetValueW(HKEY_LOCAL_MACHINE, subkey_.c_str(), value.c_str(),
                              RRF_RT_REG_DWORD | (view == KEY_WOW64_32KEY ? RRF_SUBKEY_WOW6432KEY : RRF_SUBKEY_WOW6464KEY),
                              nullptr, &data, &size) == ERROR_SUCCESS;
    }

    // Removes the key (in both views) with everything in it.
    void remove() { ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, subkey_.c_str()); removeView(KEY_WOW64_32KEY); removeView(KEY_WOW64_64KEY); }

private:
    void removeView(REGSAM view) {
        HKEY software = nullptr;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_ALL_ACCESS | view, &software) == ERROR_SUCCESS) {
            ::RegDeleteTreeW(software, subkey_.substr(9).c_str());
            ::RegCloseKey(software);
        }
    }
    std::wstring subkey_;
};

// Escapes text for an XML attribute value.
inline std::wstring xmlAttr(const std::wstring& text) {
    std::wstring out;
    for (wchar_t c : text) {
        switch (c) {
            case L'&': out += L"&amp;"; break;
            case L'<': out += L"&lt;"; break;
            case L'"': out += L"&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

inline std::wstring actionXml(const std::wstring& type, const std::wstring& parameters, const std::wstring& text,
                              const std::wstring& critical = L"1") {
    return L"<action type=\"" + xmlAttr(type) + L"\" parameters=\"" + xmlAttr(parameters) + L"\" text=\"" +
           xmlAttr(text) + L"\" critical=\"" + critical + L"\"/>";
}

inline std::wstring scriptXml(const std::wstring& actions, const std::wstring& uiLevel = L"5") {
    return L"<actionslist uilevel=\"" + uiLevel + L"\">" + actions + L"</actionslist>";
}

// Sets (or, with std::nullopt, removes) one value of the runtime's configuration key for a test and puts
// the previous state back afterwards.
class ScopedConfigValue {
public:
    ScopedConfigValue(std::wstring name, std::optional<DWORD> value);
    ScopedConfigValue(std::wstring name, const std::wstring& value);
    ~ScopedConfigValue();
    static void set(const std::wstring& name, std::optional<DWORD> value);

private:
    void save();
    std::wstring name_;
    DWORD type_ = REG_NONE;
    std::vector<BYTE> previous_;
    bool hadValue_ = false;
};

// Switches the "Debug" setting for the duration of a test and makes this process's log manager see it
// (it re-reads the setting every 16th query).
class ScopedDebugLogging {
public:
    explicit ScopedDebugLogging(bool on);
    ~ScopedDebugLogging();

private:
    static void see(bool on);
    std::optional<ScopedConfigValue> value_;
};

// The folder of the running test program (where the helper programs are built too).
inline std::wstring programFolder() {
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring path = self;
    return path.substr(0, path.find_last_of(L'\\'));
}

// Why a program of the other processor width cannot run here, or "" when it can. The test scripts ask the
// machine (tools/preflight-i386.sh) and pass the answer as TARVO_OTHER_WIDTH: "runs" or the reason.
inline std::string otherWidthSkipReason() {
    const char* answer = std::getenv("TARVO_OTHER_WIDTH");
    if (!answer) return "not told whether this machine runs programs of the other width (run the tests through ctest)";
    return std::string(answer) == "runs" ? std::string() : std::string(answer);
}

// Starts `program` without a window with `commandLine` and the given (inheritable) standard handles; the
// caller owns the handles in `started`.
inline bool startProcess(const std::wstring& program, std::wstring commandLine, HANDLE input, HANDLE output,
                         PROCESS_INFORMATION& started) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = output;
    startup.hStdError = output;
    return ::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                            nullptr, &startup, &started) != FALSE;
}

// Runs `program` with `arguments` (a command-line tail) and collects its standard output and error together.
struct ProgramRun {
    std::string output;
    DWORD exitCode = ~0u;
};
inline ProgramRun runProgram(const std::wstring& program, const std::wstring& arguments) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!::CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return {"<no pipe>"};
    ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    PROCESS_INFORMATION process{};
    const bool started = startProcess(program, L"\"" + program + L"\" " + arguments, ::GetStdHandle(STD_INPUT_HANDLE),
                                      writeEnd, process);
    ::CloseHandle(writeEnd);
    ProgramRun run{started ? "" : "<not started>"};
    char buffer[512];
    DWORD got = 0;
    while (started && ::ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0) run.output.append(buffer, got);
    ::CloseHandle(readEnd);
    if (started) {
        ::WaitForSingleObject(process.hProcess, 60000);
        ::GetExitCodeProcess(process.hProcess, &run.exitCode);
        ::CloseHandle(process.hProcess);
        ::CloseHandle(process.hThread);
    }
    return run;
}

// Collects what reaches the log manager's handlers while it is registered (every level, whatever the "Debug"
// setting), as "Info: text", "Warning: text", ...
class CapturedLog : public ILogHandler {
public:
    CapturedLog() { LogManager::instance().addHandler(this); }
    ~CapturedLog() override { LogManager::instance().removeHandler(this); }
    void log(LogLevel level, const std::wstring& text) override {
        {
            std::lock_guard<std::mutex> guard(lock_);
            lines_.push_back(std::wstring(logLevelName(level)) + L": " + text);
        }
        if (onMessage) onMessage(text);
    }
    using ILogHandler::log;
    // Called with each message as it arrives.
    std::function<void(const std::wstring&)> onMessage;
    std::vector<std::wstring> lines() {
        std::lock_guard<std::mutex> guard(lock_);
        return lines_;
    }

private:
    std::mutex lock_;
    std::vector<std::wstring> lines_;
};

// What `call` throws: the rendered failure and, for a vosexception, its code.
struct Failure {
    std::wstring message;  // toString
    DWORD code = 0;
};
template <typename F>
Failure failureOf(F&& call) {
    try {
        call();
    } catch (const vosexception& e) {
        return {e.toString(), e.code()};
    } catch (const vexception& e) {
        return {e.toString(), 0};
    }
    return {L"<no failure>", 0};
}

inline size_t occurrences(const std::wstring& text, const std::wstring& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::wstring::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

// The text of the std::runtime_error (not a vexception) that `call` throws; empty when it throws none.
template <typename F>
std::wstring runtimeFailure(F&& call) {
    try {
        call();
    } catch (const vexception&) {
        ADD_FAILURE() << "a vexception instead of a runtime error";
    } catch (const std::runtime_error& e) {
        const std::string what = e.what();
        return std::wstring(what.begin(), what.end());
    }
    return {};
}

// What `call` throws as a vexception; a test failure when it throws nothing.
template <typename F>
vexception thrownVexception(F&& call) {
    try {
        call();
    } catch (const vexception& e) {
        return e;
    }
    ADD_FAILURE() << "no vexception thrown";
    return vexception(L"");
}
