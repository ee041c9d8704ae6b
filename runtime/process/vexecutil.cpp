#include "runtime/process/vexecutil.h"

#include <aclapi.h>

#include <algorithm>

#include "runtime/errors/format.h"
#include "runtime/errors/vexception.h"
#include "runtime/filesystem/fileops.h"
#include "runtime/logging/logmanager.h"
#include "runtime/threads/wait.h"

IPipeMessageHandler::~IPipeMessageHandler() = default;

namespace {

constexpr DWORD threadTokenAccess = TOKEN_QUERY | TOKEN_DUPLICATE | READ_CONTROL;  // 0x2000A
constexpr DWORD processTokenAccess = TOKEN_QUERY | READ_CONTROL;                   // 0x20008
constexpr DWORD windowStationAllAccess = 0xF037F;
constexpr DWORD desktopAllAccess = 0xF01FF;
constexpr DWORD readBlock = 1024;

[[noreturn]] void startFailed(const std::wstring& text, DWORD code) {
    throwOsError(text, code, errorFrame(L"", "vexecutil::start"));
}

tarvo::unique_handle inheritableCopy(HANDLE handle) {
    HANDLE copy = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), handle, ::GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS))
        throwRuntimeError(L"Unable to duplicate handle", ::GetLastError());
    return tarvo::unique_handle(copy);
}

// The caller's own standard handle as an inheritable copy, so that the child can be handed it by name; the
// handle itself (often none, or a console's) when it cannot be copied.
tarvo::unique_handle callerStdHandle(DWORD which, HANDLE& handed) {
    handed = ::GetStdHandle(which);
    HANDLE copy = nullptr;
    if (handed == nullptr || handed == INVALID_HANDLE_VALUE ||
        !::DuplicateHandle(::GetCurrentProcess(), handed, ::GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS))
        return {};
    handed = copy;
    return tarvo::unique_handle(copy);
}

// The attribute list that lets the child inherit only its standard handles: any other inheritable handle of
// the process (another command's pipe, made by another thread) would otherwise go to it as well, and a
// descendant holding such a pipe keeps its reader waiting. Looked up at run time; where the system lacks it,
// every inheritable handle goes, as before.
class InheritedHandles {
public:
    explicit InheritedHandles(std::vector<HANDLE> handles) : handles_(std::move(handles)) {
        if (handles_.empty()) return;
        const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
        const auto initialize = function<Initialize>(kernel, "InitializeProcThreadAttributeList");
        const auto update = function<Update>(kernel, "UpdateProcThreadAttribute");
        delete_ = function<Delete>(kernel, "DeleteProcThreadAttributeList");
        if (!initialize || !update || !delete_) return;
        SIZE_T size = 0;
        initialize(nullptr, 1, 0, &size);
        buffer_.resize(size);
        auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_.data());
        if (size == 0 || !initialize(list, 1, 0, &size)) return;
        if (!update(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(), handles_.size() * sizeof(HANDLE),
                    nullptr, nullptr)) {
            delete_(list);
            return;
        }
        list_ = list;
    }
    InheritedHandles(const InheritedHandles&) = delete;
    InheritedHandles& operator=(const InheritedHandles&) = delete;
    ~InheritedHandles() {
        if (list_) delete_(list_);
    }
    LPPROC_THREAD_ATTRIBUTE_LIST list() const noexcept { return list_; }

private:
    using Initialize = BOOL(WINAPI*)(LPPROC_THREAD_ATTRIBUTE_LIST, DWORD, DWORD, PSIZE_T);
    using Update = BOOL(WINAPI*)(LPPROC_THREAD_ATTRIBUTE_LIST, DWORD, DWORD_PTR, PVOID, SIZE_T, PVOID, PSIZE_T);
    using Delete = VOID(WINAPI*)(LPPROC_THREAD_ATTRIBUTE_LIST);
    template <typename Function>
    static Function function(HMODULE module, const char* name) {
        return module ? reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name))) : nullptr;
    }

    std::vector<HANDLE> handles_;  // the list points at these
    std::vector<BYTE> buffer_;
    LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
    Delete delete_ = nullptr;
};

// A file for the child's standard input or output, opened here and handed down as an inheritable copy.
tarvo::unique_handle childFile(const std::wstring& path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
    VFile file(path, access, share, disposition, flags);
    return inheritableCopy(file.handle());
}

// The primary token of the thread's impersonation when it differs from the process in administrative
// rights; none (the process token applies) otherwise.
tarvo::unique_handle impersonationToken() {
    tarvo::unique_handle threadToken;
    if (!::OpenThreadToken(::GetCurrentThread(), threadTokenAccess, FALSE, threadToken.put())) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_NO_TOKEN) return {};
        startFailed(L"Unable to open a thread token", error);
    }
    tarvo::unique_handle processToken;
    if (!::OpenProcessToken(::GetCurrentProcess(), processTokenAccess, processToken.put()))
        startFailed(L"Unable to open a process token", ::GetLastError());
    const VSID admins = VSID::admins();
    if (security::tokenMemberOf(threadToken.get(), admins) == security::tokenMemberOf(processToken.get(), admins))
        return {};
    tarvo::unique_handle primary;
    if (!::DuplicateTokenEx(threadToken.get(), MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, TokenPrimary,
                            primary.put()))
        startFailed(L"Unable to duplicate impersonation token", ::GetLastError());
    return primary;
}

void addAccess(HANDLE object, const VSID& sid, ACCESS_MASK access, const wchar_t* alreadyText) {
    const std::optional<std::vector<security::AclEntry>> entries =
        process_detail::entriesGranting(security::getHandleDacl(object, SE_WINDOW_OBJECT), sid, access);
    if (!entries) {
        vlog(LogLevel::Info, alreadyText, sid.toString());
        return;
    }
    std::vector<DWORD> updated = security::buildAcl(*entries);
    security::setHandleDacl(object, SE_WINDOW_OBJECT, reinterpret_cast<PACL>(updated.data()));
}

// Sets the process's window station back on every way out; the handle belongs to the system.
class WindowStationSwitch {
public:
    explicit WindowStationSwitch(HWINSTA station) {
        previous_ = ::GetProcessWindowStation();
        if (previous_ == nullptr) throwRuntimeError(L"Unable to get process window station", ::GetLastError());
        if (!::SetProcessWindowStation(station)) throwRuntimeError(L"Unable to set window station", ::GetLastError());
    }
    WindowStationSwitch(const WindowStationSwitch&) = delete;
    WindowStationSwitch& operator=(const WindowStationSwitch&) = delete;
    ~WindowStationSwitch() {
        if (previous_ != nullptr) ::SetProcessWindowStation(previous_);
    }
    void restore() {
        if (!::SetProcessWindowStation(std::exchange(previous_, nullptr)))
            throwRuntimeError(L"Unable to set window station", ::GetLastError());
    }

private:
    HWINSTA previous_ = nullptr;
};

}  // namespace

namespace process_detail {

std::optional<std::vector<security::AclEntry>> entriesGranting(const std::vector<DWORD>& dacl, const VSID& sid,
                                                               ACCESS_MASK access) {
    // A null DACL lets everyone in: writing one would shut the others out.
    if (dacl.empty()) return std::nullopt;
    std::vector<security::AclEntry> entries = security::readAcl(reinterpret_cast<const ACL*>(dacl.data()));
    for (const security::AclEntry& entry : entries)
        if (entry.plain() && entry.type == ACCESS_ALLOWED_ACE_TYPE && !(entry.flags & INHERIT_ONLY_ACE) &&
            (entry.mask & access) == access && entry.sid == sid)
            return std::nullopt;
    // In canonical order: after the object's own denials, before everything else.
    auto at = entries.begin();
    while (at != entries.end() && at->type == ACCESS_DENIED_ACE_TYPE && !(at->flags & INHERITED_ACE)) ++at;
    entries.insert(at, security::AclEntry{ACCESS_ALLOWED_ACE_TYPE, 0, access, sid, {}});
    return entries;
}

VSID desktopGroup(HANDLE token) {
    for (VSID group : {VSID::admins(), VSID::users(), VSID::guests()})
        if (security::tokenMemberOf(token, group)) return group;
    return VSID::users();
}

void grantDesktopAccess(const VSID& group) {
    tarvo::unique_hwinsta station(::OpenWindowStationW(L"winsta0", FALSE, READ_CONTROL | WRITE_DAC));
    if (!station) throwRuntimeError(L"Unable to open window station", ::GetLastError());
    WindowStationSwitch switched(station.get());
    tarvo::unique_hdesk desktop(::OpenDesktopW(
        L"default", 0, FALSE, READ_CONTROL | WRITE_DAC | DESKTOP_READOBJECTS | DESKTOP_WRITEOBJECTS));
    if (!desktop) throwRuntimeError(L"Unable to open desktop", ::GetLastError());
    addAccess(station.get(), group, windowStationAllAccess, L"Winstation already has required access for user %s");
    addAccess(desktop.get(), group, desktopAllAccess, L"Desktop already has required access for user %s");
    switched.restore();
}

}  // namespace process_detail

// ---- vexecutil

// The members go in reverse order of declaration: process, thread, then the pipe ends stderr, stdout, stdin.
vexecutil::~vexecutil() = default;

std::wstring vexecutil::commandLine() const {
    return arguments.empty() ? command : L"\"" + command + L"\" " + arguments;
}

void vexecutil::start() {
    // 1. Pipes: this side keeps one end; the child gets an inheritable copy of the other, which is closed
    //    here once the child has its own.
    std::unique_ptr<Con::Pipe> childOutput, childInput, childError;
    if (stdoutToPipe) {
        Con::PipePair pair = Con::createPipePair(overlappedPipes, false, 0);
        childOutput = pair.client->clone();
        stdoutPipe = std::move(pair.server);
    }
    if (stdinFromPipe) {
        // The child reads with plain ReadFile: its end is never overlapped. Ours writes.
        Con::PipePair pair = Con::createPipePair(false, false, 0);
        childInput = pair.server->clone();
        pair.server->close(true);  // without disconnecting the child's copy
        stdinPipe = std::move(pair.client);
    }
    if (stderrToPipe) {
        Con::PipePair pair = Con::createPipePair(overlappedPipes, false, 0);
        childError = pair.client->clone();
        stderrPipe = std::move(pair.server);
    }

    // 2. Standard handles.
    const bool redirection = stdoutToPipe || stdinFromPipe || stderrToPipe || inheritStdHandles ||
                             !stdinFile.empty() || !stdoutFile.empty();
    STARTUPINFOEXW extended{};
    STARTUPINFOW& startup = extended.StartupInfo;
    startup.cb = sizeof startup;
    tarvo::unique_handle inputFile, outputFile, errorCopy, callerInput, callerOutput, callerError;
    if (!redirection) {
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = SW_HIDE;
    } else {
        startup.dwFlags = STARTF_USESTDHANDLES;
        if (childInput) {
            startup.hStdInput = childInput->handle();
        } else if (!stdinFile.empty()) {
            inputFile = childFile(stdinFile, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                                  FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL);
            startup.hStdInput = inputFile.get();
        } else {
            callerInput = callerStdHandle(STD_INPUT_HANDLE, startup.hStdInput);
        }
        if (childOutput) {
            startup.hStdOutput = childOutput->handle();
        } else if (!stdoutFile.empty()) {
            outputFile = childFile(stdoutFile, GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
            startup.hStdOutput = outputFile.get();
        } else {
            callerOutput = callerStdHandle(STD_OUTPUT_HANDLE, startup.hStdOutput);
        }
        if (childError) {
            startup.hStdError = childError->handle();
        } else if (stderrToStdout) {
            errorCopy = inheritableCopy(startup.hStdOutput);
            startup.hStdError = errorCopy.get();
        } else {
            callerError = callerStdHandle(STD_ERROR_HANDLE, startup.hStdError);
        }
    }

    // Only the standard handles that are inheritable copies made here go down to the child.
    std::vector<HANDLE> inherited;
    if (redirection)
        for (const HANDLE handle : {startup.hStdInput, startup.hStdOutput, startup.hStdError}) {
            const bool own = handle != nullptr && ((childInput && handle == childInput->handle()) ||
                                                   (childOutput && handle == childOutput->handle()) ||
                                                   (childError && handle == childError->handle()) ||
                                                   handle == inputFile.get() || handle == outputFile.get() ||
                                                   handle == errorCopy.get() || handle == callerInput.get() ||
                                                   handle == callerOutput.get() || handle == callerError.get());
            if (own && std::find(inherited.begin(), inherited.end(), handle) == inherited.end()) inherited.push_back(handle);
        }
    const InheritedHandles only(std::move(inherited));
    if (only.list()) {
        startup.cb = sizeof extended;
        extended.lpAttributeList = only.list();
    }

    // 3.-6. Desktop, command line, flags; the working directory goes to the creation itself.
    std::wstring desktop = L"winsta0\\default";
    if (!keepDesktop) startup.lpDesktop = desktop.data();
    std::wstring line = commandLine();
    DWORD flags = ::GetPriorityClass(::GetCurrentProcess());
    if (noWindow) flags |= CREATE_NO_WINDOW;
    if (suspended) flags |= CREATE_SUSPENDED;
    if (environment) flags |= CREATE_UNICODE_ENVIRONMENT;
    if (!redirection) flags |= CREATE_NEW_CONSOLE;
    if (only.list()) flags |= EXTENDED_STARTUPINFO_PRESENT;
    void* block = environment ? environment->data() : nullptr;
    const wchar_t* directory = workingDirectory.empty() ? nullptr : workingDirectory.c_str();

    // 7.-8. Token and creation.
    PROCESS_INFORMATION created{};
    if (const tarvo::unique_handle token = impersonationToken()) {
        process_detail::grantDesktopAccess(process_detail::desktopGroup(token.get()));
        if (!::CreateProcessAsUserW(token.get(), nullptr, line.data(), nullptr, nullptr, redirection, flags, block,
                                    directory, &startup, &created))
            startFailed(L"CreateProcessAsUser '" + line + L"'", ::GetLastError());
    } else if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, redirection, flags, block, directory, &startup,
                                 &created)) {
        startFailed(L"CreateProcess '" + line + L"'", ::GetLastError());
    }
    process.reset(created.hProcess);
    thread.reset(created.hThread);
    processId = created.dwProcessId;
    threadId = created.dwThreadId;
}

bool vexecutil::waitForExit(DWORD milliseconds) {
    DWORD result = WAIT_FAILED;
    try {
        result = tarvo::threads::waitForSingleObject(process.get(), milliseconds);
    } catch (const vosexception& e) {
        throwOsError(L"Lock object", e.code(), errorFrame(L"", "vexecutil::waitForExit"));
    }
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED_0) return true;
    if (result == WAIT_TIMEOUT) return false;
    throwOsError(L"Lock object", ::GetLastError(), errorFrame(L"", "vexecutil::waitForExit"));
}

DWORD vexecutil::exitCode() {
    DWORD code = 0;
    if (!::GetExitCodeProcess(process.get(), &code))
        throwOsError(L"GetExitCodeProcess", ::GetLastError(), errorFrame(L"", "vexecutil::exitCode"));
    return code;
}

DWORD VProcess::getExitCode(HANDLE process) {
    try {
        tarvo::threads::waitForSingleObject(process, INFINITE);
    } catch (const vosexception& e) {
        throwOsError(L"GetExitCodeProcess", e.code(), errorFrame(L"", "VProcess::getExitCode"));
    }
    DWORD code = 0;
    if (!::GetExitCodeProcess(process, &code))
        throwOsError(L"GetExitCodeProcess", ::GetLastError(), errorFrame(L"", "VProcess::getExitCode"));
    return code;
}

// ---- readProcessOutput

namespace {

struct OutputStream {
    Con::OverlappedPipe* pipe;
    std::string& text;
    size_t position = 0;
    bool finished = false;
    char buffer[readBlock] = {};
};

}  // namespace

bool readProcessOutput(std::string& stdoutText, std::string& stderrText, Con::OverlappedPipe* stdoutPipe,
                       Con::OverlappedPipe* stderrPipe, HANDLE cancelEvent, DWORD timeoutMs, size_t outputLimit,
                       IPipeMessageHandler* handler, HANDLE process) {
    stdoutText.clear();
    stderrText.clear();
    const auto usable = [](Con::OverlappedPipe* pipe) { return pipe != nullptr && pipe->valid() && !pipe->finished(); };
    OutputStream streams[2] = {{stdoutPipe, stdoutText}, {stderrPipe, stderrText}};
    for (OutputStream& stream : streams) stream.finished = !usable(stream.pipe);
    if (cancelEvent != nullptr && !::ResetEvent(cancelEvent)) throwRuntimeError(L"Unable to reset event", ::GetLastError());

    // Pending reads write into the streams' buffers: whatever ends the reading cancels them first.
    struct CancelPending {
        OutputStream* streams;
        ~CancelPending() {
            for (int i = 0; i < 2; ++i)
                if (streams[i].pipe != nullptr && !streams[i].pipe->idle()) streams[i].pipe->cancel();
        }
    } cancelPending{streams};

    const auto deliver = [&](OutputStream& stream, DWORD count) {
        if (count > 0 && stdoutText.size() + stderrText.size() < outputLimit) {
            stream.text.append(stream.buffer, count);
            if (handler != nullptr) handler->output(stream.text, stream.position, false);
        }
        if (!stream.pipe->finished()) return;
        stream.finished = true;
        // The last line, when the output does not end with a line break, is written too.
        if (handler != nullptr && stream.position < stream.text.size()) handler->output(stream.text, stream.position, true);
    };

    ULONGLONG deadline = timeoutMs == INFINITE ? ~0ull : ::GetTickCount64() + timeoutMs;
    bool exited = false;
    try {
        for (;;) {
            if (exited && ::GetTickCount64() >= deadline) return false;
            bool readAtOnce = false;
            for (OutputStream& stream : streams) {
                if (stream.finished || !stream.pipe->idle()) continue;
                const DWORD count = stream.pipe->beginRead(stream.buffer, readBlock, false);
                if (stream.pipe->idle()) {
                    deliver(stream, count);
                    readAtOnce = true;
                }
            }
            if (streams[0].finished && streams[1].finished) return true;
            if (readAtOnce) continue;

            HANDLE handles[4];
            OutputStream* owners[2];
            DWORD count = 0;
            for (OutputStream& stream : streams)
                if (!stream.finished) {
                    owners[count] = &stream;
                    handles[count++] = stream.pipe->event();
                }
            const DWORD pipes = count;
            if (cancelEvent != nullptr) handles[count++] = cancelEvent;
            const bool watching = process != nullptr && !exited;
            if (watching) handles[count++] = process;
            DWORD remaining = INFINITE;
            if (deadline != ~0ull) {
                const ULONGLONG now = ::GetTickCount64();
                remaining = now >= deadline ? 0 : static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, INFINITE - 1));
            }
            const DWORD result = tarvo::threads::waitForMultipleObjects(count, handles, false, remaining);
            if (result == WAIT_TIMEOUT) return false;
            const DWORD index = result >= WAIT_ABANDONED_0 ? result - WAIT_ABANDONED_0 : result - WAIT_OBJECT_0;
            if (index >= count) throwRuntimeError(formatString(L"Unable to read pipe: Unknown state %X", result), 0);
            if (watching && index == count - 1) {  // the child ended: what is left comes within the grace
                exited = true;
                deadline = std::min(deadline, ::GetTickCount64() + childOutputGraceMs);
                continue;
            }
            if (index >= pipes) return false;  // the cancel event
            OutputStream& stream = *owners[index];
            deliver(stream, stream.pipe->complete(nullptr, 0, false));
        }
    } catch (const vosexception& e) {
        throwRuntimeError(L"Unable to read pipe", e.code());
    }
}

bool readChildOutput(Con::OverlappedPipe& pipe, HANDLE process, char* buffer, DWORD size,
                     const std::function<void(const char*, DWORD)>& sink) {
    const auto ended = [&] {
        try {
            return tarvo::threads::waitForSingleObject(process, 0) != WAIT_TIMEOUT;
        } catch (const vosexception& e) {
            throwRuntimeError(L"Unable to read pipe", e.code());
        }
    };
    ULONGLONG deadline = 0;  // once the child has ended
    while (!pipe.finished()) {
        if (deadline == 0 && ended()) deadline = ::GetTickCount64() + childOutputGraceMs;
        DWORD remaining = INFINITE;
        if (deadline != 0) {
            const ULONGLONG now = ::GetTickCount64();
            if (now >= deadline) return false;
            remaining = static_cast<DWORD>(deadline - now);
        }
        DWORD count = pipe.beginRead(buffer, size, false);
        // Until the child ends its end wakes the wait as well; the read is then cancelled, keeping what it moved.
        if (!pipe.idle()) count = pipe.complete(deadline == 0 ? process : nullptr, remaining, false);
        if (count > 0) sink(buffer, count);
    }
    return true;
}
