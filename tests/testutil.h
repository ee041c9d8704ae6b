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
#include "runtime/holder.h"
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

inline size_t countContaining(const std::vector<std::wstring>& texts, const std::wstring& part) {
    return static_cast<size_t>(
        std::count_if(texts.begin(), texts.end(), [&](const std::wstring& t) { return contains(t, part); }));
}
inline bool anyContains(const std::vector<std::wstring>& texts, const std::wstring& part) {
    return countContaining(texts, part) > 0;
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
    bool readDword(const std::wstring& value, DWORD& data, REGSAM view) const {
        DWORD size = sizeof data;
        return ::RegGetValueW(HKEY_LOCAL_MACHINE, subkey_.c_str(), value.c_str(),
                              RRF_RT_REG_DWORD | (view == KEY_WOW64_32KEY ? RRF_SUBKEY_WOW6432KEY : RRF_SUBKEY_WOW6464KEY),
                              nullptr, &data, &size) == ERROR_SUCCESS;
    }
    // Removes the key, in both views, with everything in it.
    void remove() {
        for (const REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
            HKEY software = nullptr;
            if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_ALL_ACCESS | view, &software) != ERROR_SUCCESS)
                continue;
            ::RegDeleteTreeW(software, subkey_.substr(9).c_str());
            ::RegCloseKey(software);
        }
    }

private:
    std::wstring subkey_;
};

// Escapes text for an XML attribute value.
inline std::wstring xmlAttr(const std::wstring& text) {
    std::wstring out;
    for (wchar_t c : text)
        out += c == L'&' ? L"&amp;" : c == L'<' ? L"&lt;" : c == L'"' ? L"&quot;" : std::wstring(1, c);
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

// A child process with a pipe on its standard output (standard error joins it) and, unless it gets ours, one
// on its standard input; we hold the other ends. A stand-in that waits for its input ends when `input` goes.
struct PipedChild {
    tarvo::unique_handle process, input, output;
    DWORD pid = 0;
    bool start(const std::wstring& program, const std::wstring& commandLine, bool ourInput = false) {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE ends[4] = {};  // input read, input write, output read, output write
        if (!ourInput && !::CreatePipe(&ends[0], &ends[1], &inherit, 0)) return false;
        tarvo::unique_handle childInput(ends[0]), childOutput;
        input.reset(ends[1]);
        if (!::CreatePipe(&ends[2], &ends[3], &inherit, 0)) return false;
        output.reset(ends[2]);
        childOutput.reset(ends[3]);
        if (input) ::SetHandleInformation(input.get(), HANDLE_FLAG_INHERIT, 0);
        ::SetHandleInformation(output.get(), HANDLE_FLAG_INHERIT, 0);
        PROCESS_INFORMATION started{};
        // Only the child keeps its ends: its end of output ends our reads.
        if (!startProcess(program, commandLine, ourInput ? ::GetStdHandle(STD_INPUT_HANDLE) : childInput.get(),
                          childOutput.get(), started))
            return false;
        ::CloseHandle(started.hThread);
        process.reset(started.hProcess);
        pid = started.dwProcessId;
        return true;
    }
};

// Runs `program` with `arguments` (a command-line tail) and collects its standard output and error together.
struct ProgramRun {
    std::string output;
    DWORD exitCode = ~0u;
};
inline ProgramRun runProgram(const std::wstring& program, const std::wstring& arguments) {
    PipedChild child;
    if (!child.start(program, L"\"" + program + L"\" " + arguments, true)) return {"<not started>"};
    ProgramRun run;
    char buffer[512];
    DWORD got = 0;
    while (::ReadFile(child.output.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) run.output.append(buffer, got);
    ::WaitForSingleObject(child.process.get(), 60000);
    ::GetExitCodeProcess(child.process.get(), &run.exitCode);
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
