#include "srvclient/pipes.h"

#include <rpc.h>
#include <sddl.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "runtime/errors/format.h"
#include "runtime/errors/vexception.h"
#include "runtime/logging/config.h"
#include "runtime/logging/logmanager.h"
#include "runtime/registry/registry.h"
#include "runtime/security/security.h"
#include "runtime/threads/cancelation.h"
#include "runtime/threads/wait.h"

namespace Con {

namespace {

constexpr int view64 = 2;
constexpr DWORD notListeningRetryMs = 500;
constexpr DWORD busyWaitMs = 1000;
constexpr DWORD busyRetryMs = 50;
constexpr DWORD defaultPairBuffer = 4096;

// Identification only: the server may learn who connects but can never act as the caller.
constexpr DWORD clientFlags = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;

[[noreturn]] void completedOnly(DWORD count, DWORD length, const char* function) {
    throw vexception(formatString(L"Completed only %d of %d bytes", static_cast<int>(count), static_cast<int>(length)),
                     errorFrame(L"", function));
}

// Opens the client end of `name`. A pipe that does not exist yet is retried only with overlapped I/O (the
// service channels wait for their service to start; a pipe pair's own end exists already).
tarvo::unique_file connectClient(const std::wstring& name, DWORD access, DWORD readMode, DWORD defaultTries,
                                 bool overlapped, const char* function) {
    const DWORD tries = tryCount(defaultTries);
    if (tries < 1)
        throwOsError(L"Unable to connect to pipe " + name + L": no attempt allowed", ERROR_INVALID_PARAMETER,
                     errorFrame(L"", function));
    tarvo::unique_file pipe;
    DWORD error = ERROR_SUCCESS;
    for (DWORD attempt = 1; attempt <= tries; ++attempt) {
        ThreadCancelation::CancelationPoint point(ThreadCancelation::Asynchronous);
        pipe.reset(::CreateFileW(name.c_str(), access, 0, nullptr, OPEN_EXISTING,
                                 clientFlags | (overlapped ? FILE_FLAG_OVERLAPPED : 0), nullptr));
        if (pipe) break;
        error = ::GetLastError();
        const bool notListening = error == ERROR_FILE_NOT_FOUND && overlapped;
        if (!notListening && error != ERROR_PIPE_BUSY)
            throwOsError(L"Unable to connect to pipe " + name, error, errorFrame(L"", function));
        vlog(LogLevel::Info, L"Pipe %s is not available (error %lu), attempt %lu of %lu", name, error, attempt, tries);
        if (attempt == tries) break;
        if (notListening)
            tarvo::threads::Sleep(notListeningRetryMs);
        else if (!::WaitNamedPipeW(name.c_str(), busyWaitMs))
            tarvo::threads::Sleep(busyRetryMs);
    }
    if (!pipe) throwOsError(L"Unable to connect to pipe " + name, error, errorFrame(L"", function));
    DWORD mode = readMode;
    if (!::SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr))
        throwOsError(L"Unable to set mode of pipe " + name, ::GetLastError(), errorFrame(L"", function));
    return pipe;
}

// The server side of closing: the client reads what is left, then loses the connection. Errors (a client
// gone already) change nothing about the close.
void flushAndDisconnect(HANDLE pipe) noexcept {
    ::FlushFileBuffers(pipe);
    ::DisconnectNamedPipe(pipe);
}

void resetOverlapped(OVERLAPPED& overlapped) noexcept {
    const HANDLE event = overlapped.hEvent;
    overlapped = OVERLAPPED{};
    overlapped.hEvent = event;
}

std::wstring newPairName() {
    UUID uuid{};
    // Random, not sequential: a sequential UUID carries the machine's address and the time.
    RPC_STATUS status = ::UuidCreate(&uuid);
    if (status != RPC_S_OK && status != RPC_S_UUID_LOCAL_ONLY) throwRuntimeError(L"Unable to create GUID", status);
    RPC_WSTR text = nullptr;
    status = ::UuidToStringW(&uuid, &text);
    if (status != RPC_S_OK) throwRuntimeError(L"Unable to create GUID", status);
    std::wstring name = std::wstring(pipePrefix) + L"TarvoWin32.Pipes." + reinterpret_cast<const wchar_t*>(text);
    ::RpcStringFreeW(&text);
    return name;
}

}  // namespace

DWORD tryCount(DWORD defaultTries) {
    static std::atomic<bool> reading{true};
    static std::atomic<unsigned> calls{0};
    static std::atomic<DWORD> cached{0};
    if (reading && calls.fetch_add(1) % 16 == 0) {
        try {
            DWORD value = 0;
            if (registry::lookup(HKEY_LOCAL_MACHINE, logconfig::key, L"PipeConnectTryCount", value, view64) ==
                ERROR_SUCCESS)
                cached = value;
        } catch (const vexception& e) {
            reading = false;
            vlog(LogLevel::Warning, e);
        } catch (...) {
            reading = false;
        }
    }
    const DWORD configured = cached;
    return configured ? configured : defaultTries;
}

// ---- Pipe

Pipe::Pipe(HANDLE handle) noexcept : handle_(handle), finished_(handle == INVALID_HANDLE_VALUE) {}

Pipe::~Pipe() = default;

template <typename Step>
DWORD Pipe::transfer(Step&& step, bool reading, BYTE* buffer, DWORD length, bool whole, const char* function) {
    // A read may move nothing (an empty message) and the next one data; a write that moved nothing would
    // move nothing again.
    if (length == 0) return 0;
    DWORD done = 0;
    do {
        if (finished_) break;
        const DWORD moved = step(buffer + done, length - done);
        done += moved;
        if (moved == 0 && !reading) break;
    } while (whole && done < length);
    if (whole && done != length) completedOnly(done, length, function);
    return done;
}

bool Pipe::endOfPipe(DWORD error) noexcept {
    // A server that disconnected its client leaves ERROR_PIPE_NOT_CONNECTED: the pipe is as gone as a broken one.
    if (error != ERROR_HANDLE_EOF && error != ERROR_BROKEN_PIPE && error != ERROR_NO_DATA &&
        error != ERROR_PIPE_NOT_CONNECTED)
        return false;
    finished_ = true;
    return true;
}

DWORD Pipe::read(void* buffer, DWORD length, bool whole) {
    return transfer(
        [&](BYTE* at, DWORD left) -> DWORD {
            DWORD count = 0;
            if (::ReadFile(handle(), at, left, &count, nullptr)) return count;
            const DWORD error = ::GetLastError();
            if (error == ERROR_MORE_DATA) return count;  // a longer message: the rest comes with the next read
            if (endOfPipe(error)) return 0;
            throwOsError(L"Unable to read from pipe", error, errorFrame(L"", "Con::Pipe::read"));
        },
        true, static_cast<BYTE*>(buffer), length, whole, "Con::Pipe::read");
}

DWORD Pipe::write(const void* buffer, DWORD length, bool whole) {
    return transfer(
        [&](BYTE* at, DWORD left) -> DWORD {
            DWORD count = 0;
            if (::WriteFile(handle(), at, left, &count, nullptr)) return count;
            const DWORD error = ::GetLastError();
            if (endOfPipe(error)) return 0;
            throwOsError(L"Unable to write to pipe", error, errorFrame(L"", "Con::Pipe::write"));
        },
        false, static_cast<BYTE*>(const_cast<void*>(buffer)), length, whole, "Con::Pipe::write");
}

void Pipe::close(bool) {
    handle_.reset();
    finished_ = true;
}

HANDLE Pipe::duplicate(HANDLE handle, bool inheritable, const char* function) {
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return INVALID_HANDLE_VALUE;
    HANDLE copy = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), handle, ::GetCurrentProcess(), &copy, 0, inheritable,
                           DUPLICATE_SAME_ACCESS))
        throwOsError(L"Unable to duplicate handle", ::GetLastError(), errorFrame(L"", function));
    return copy;
}

template <typename Plain>
std::unique_ptr<Pipe> Pipe::cloneAs() const {
    auto copy = std::make_unique<Plain>(duplicate(handle(), true, "Con::Pipe::Pipe"));
    copy->finished_ = finished_;
    return copy;
}

std::unique_ptr<Pipe> Pipe::clone() const { return cloneAs<Pipe>(); }

// ---- ServerPipe, ClientPipe

ServerPipe::~ServerPipe() { ServerPipe::close(false); }

void ServerPipe::close(bool abandon) {
    if (valid() && !abandon) flushAndDisconnect(handle());
    Pipe::close(abandon);
}

void ServerPipe::connect() {
    if (!::ConnectNamedPipe(handle(), nullptr) && ::GetLastError() != ERROR_PIPE_CONNECTED)
        throwOsError(L"Unable to connect to pipe", ::GetLastError(), errorFrame(L"", "Con::ServerPipe::connect"));
}

ClientPipe::ClientPipe(const std::wstring& name, DWORD access, DWORD readMode, DWORD defaultTries)
    : Pipe(create(name, access, readMode, defaultTries).release()) {}

tarvo::unique_file ClientPipe::create(const std::wstring& name, DWORD access, DWORD readMode, DWORD defaultTries) {
    return connectClient(name, access, readMode, defaultTries, false, "Con::ClientPipe::create");
}

// ---- OverlappedPipe

OverlappedPipe::OverlappedPipe(HANDLE handle) : Pipe(handle) {
    event_.reset(::CreateEventW(nullptr, TRUE, TRUE, nullptr));
    if (!event_) throwOsError(L"Unable to create event", ::GetLastError(), errorFrame(L"", "Con::Overlapped::Overlapped"));
    overlapped_.hEvent = event_.get();
}

OverlappedPipe::~OverlappedPipe() { cancelPending(); }

void OverlappedPipe::resetEvent() {
    if (!::ResetEvent(event_.get()))
        throwOsError(L"Unable to reset event", ::GetLastError(), errorFrame(L"", "Con::Overlapped::resert"));
}

DWORD OverlappedPipe::begin(bool reading, void* buffer, DWORD length, bool whole) {
    const char* function = reading ? "Con::OverlappedPipe::beginRead" : "Con::OverlappedPipe::beginWrite";
    if (!idle_) throw vexception(L"Previous request has not completed!", errorFrame(L"", function));
    if (finished_) return 0;
    resetEvent();
    resetOverlapped(overlapped_);
    requested_ = length;
    const BOOL done = reading ? ::ReadFile(handle(), buffer, length, nullptr, &overlapped_)
                              : ::WriteFile(handle(), buffer, length, nullptr, &overlapped_);
    const DWORD error = done ? ERROR_SUCCESS : ::GetLastError();
    if (done || error == ERROR_MORE_DATA) {
        idle_ = false;
        return internalComplete(whole);
    }
    if (error == ERROR_IO_PENDING) {
        idle_ = false;
        return 0;
    }
    requested_ = 0;
    ::SetEvent(event_.get());  // idle again: nothing will signal it
    if (endOfPipe(error)) return 0;
    throwOsError(reading ? L"Unable to read from pipe" : L"Unable to write to pipe", error, errorFrame(L"", function));
}

DWORD OverlappedPipe::beginRead(void* buffer, DWORD length, bool whole) { return begin(true, buffer, length, whole); }

DWORD OverlappedPipe::beginWrite(const void* buffer, DWORD length, bool whole) {
    return begin(false, const_cast<void*>(buffer), length, whole);
}

DWORD OverlappedPipe::internalComplete(bool whole) {
    DWORD count = 0;
    const BOOL done = ::GetOverlappedResult(handle(), &overlapped_, &count, TRUE);
    const DWORD error = done ? ERROR_SUCCESS : ::GetLastError();
    const DWORD asked = requested_;
    // The transfer is over whatever its result: the object is ready for the next one.
    idle_ = true;
    requested_ = 0;
    if (!done && error != ERROR_MORE_DATA) {
        count = 0;
        if (!endOfPipe(error))
            throwOsError(L"Unable to complete pipe operation", error,
                         errorFrame(L"", "Con::OverlappedPipe::internalComplete"));
    }
    if (whole && count != asked) completedOnly(count, asked, "Con::OverlappedPipe::internalComplete");
    return count;
}

DWORD OverlappedPipe::cancelPending() noexcept {
    if (idle_) return 0;
    ::CancelIoEx(handle(), &overlapped_);
    DWORD count = 0;
    // The system may write into the buffer and the OVERLAPPED record until the cancelled transfer is over.
    if (!::GetOverlappedResult(handle(), &overlapped_, &count, TRUE)) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_MORE_DATA) {
            count = 0;
            endOfPipe(error);
        }
    }
    idle_ = true;
    requested_ = 0;
    return count;
}

DWORD OverlappedPipe::complete(HANDLE cancelEvent, DWORD timeoutMs, bool whole) {
    const char* function = "Con::OverlappedPipe::complete";
    if (idle_) throw vexception(L"Previous request has completed!", errorFrame(L"", function));
    const HANDLE handles[] = {event_.get(), cancelEvent};
    DWORD result = WAIT_FAILED;
    try {
        result = tarvo::threads::waitForMultipleObjects(cancelEvent ? 2 : 1, handles, false, timeoutMs);
    } catch (const vosexception& e) {
        cancelPending();
        throwOsError(L"Unable to complete pipe operation", e.code(), errorFrame(L"", function));
    } catch (...) {
        cancelPending();  // a cancelled thread unwinds: the caller's buffer must be the system's no longer
        throw;
    }
    expired_ = result == WAIT_TIMEOUT;
    switch (result) {
        case WAIT_OBJECT_0:
        case WAIT_ABANDONED_0: return internalComplete(whole);
        case WAIT_OBJECT_0 + 1:
        case WAIT_ABANDONED_0 + 1:
        case WAIT_TIMEOUT: return cancelPending();
        default:
            throw vexception(formatString(L"Unable to complete pipe operation: Unknown state %X", result),
                             errorFrame(L"", function));
    }
}

DWORD OverlappedPipe::step(bool reading, BYTE* buffer, DWORD length) {
    const DWORD count = begin(reading, buffer, length, false);
    if (idle_) return count;
    return complete(nullptr, INFINITE, false);
}

DWORD OverlappedPipe::read(void* buffer, DWORD length, bool whole) {
    return transfer([&](BYTE* at, DWORD left) { return step(true, at, left); }, true,
                    static_cast<BYTE*>(buffer), length, whole, "Con::OverlappedPipe::read");
}

DWORD OverlappedPipe::write(const void* buffer, DWORD length, bool whole) {
    return transfer([&](BYTE* at, DWORD left) { return step(false, at, left); }, false,
                    static_cast<BYTE*>(const_cast<void*>(buffer)), length, whole, "Con::OverlappedPipe::write");
}

void OverlappedPipe::close(bool abandon) {
    cancelPending();
    Pipe::close(abandon);
}

// The copy gets an event of its own: two objects waiting on one event would take each other's completions.
std::unique_ptr<Pipe> OverlappedPipe::clone() const { return cloneAs<OverlappedPipe>(); }

// ---- ServerOverlappedPipe, ClientOverlappedPipe

ServerOverlappedPipe::~ServerOverlappedPipe() { ServerOverlappedPipe::close(false); }

void ServerOverlappedPipe::close(bool abandon) {
    cancelPending();
    if (valid() && !abandon) flushAndDisconnect(handle());
    OverlappedPipe::close(abandon);
}

void ServerOverlappedPipe::connect(DWORD timeoutMs) {
    const char* function = "Con::ServerOverlappedPipe::connect";
    if (!idle_) throw vexception(L"Previous request has not completed!", errorFrame(L"", function));
    resetEvent();
    resetOverlapped(overlapped_);
    if (::ConnectNamedPipe(handle(), &overlapped_)) return;
    const DWORD error = ::GetLastError();
    if (error == ERROR_PIPE_CONNECTED) return;
    if (error != ERROR_IO_PENDING) throwOsError(L"Unable to connect to pipe", error, errorFrame(L"", function));
    idle_ = false;  // until the connection completes, the OVERLAPPED record belongs to the system
    DWORD result = WAIT_FAILED;
    try {
        result = tarvo::threads::waitForSingleObject(event_.get(), timeoutMs);
    } catch (...) {
        cancelPending();
        throw;
    }
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED_0) {
        DWORD ignored = 0;
        const BOOL connected = ::GetOverlappedResult(handle(), &overlapped_, &ignored, TRUE);
        const DWORD connectError = connected ? ERROR_SUCCESS : ::GetLastError();
        idle_ = true;
        if (!connected && connectError != ERROR_PIPE_CONNECTED)
            throwOsError(L"Unable to connect to pipe", connectError, errorFrame(L"", function));
        return;
    }
    cancelPending();
    if (result == WAIT_TIMEOUT)
        throwOsError(L"Unable to wait while pipe has been connected", ERROR_TIMEOUT, errorFrame(L"", function));
    throw vexception(formatString(L"Unable to wait while pipe has been connected: Unknown state %X", result),
                     errorFrame(L"", function));
}

ClientOverlappedPipe::ClientOverlappedPipe(const std::wstring& name, DWORD access, DWORD readMode, DWORD defaultTries)
    : OverlappedPipe(create(name, access, readMode, defaultTries).release()) {}

tarvo::unique_file ClientOverlappedPipe::create(const std::wstring& name, DWORD access, DWORD readMode,
                                                DWORD defaultTries) {
    const char* function = "Con::ClientOverlappedPipe::create";
    tarvo::unique_file pipe = connectClient(name, access, readMode, defaultTries, true, function);
    requireSystemServer(pipe.get(), name, function);
    return pipe;
}

// ---- Replies and who sends them

namespace {
std::atomic<DWORD> shortenedLimit{0};
std::mutex acceptedLock;
std::wstring acceptedAccount;  // set by tests

bool underWine() noexcept {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version");
}

VSID extraServerAccount() {
    {
        std::lock_guard guard(acceptedLock);
        if (!acceptedAccount.empty()) {
            PSID sid = nullptr;
            if (!::ConvertStringSidToSidW(acceptedAccount.c_str(), &sid))
                throwOsError(L"Invalid SID " + acceptedAccount, ::GetLastError(), errorFrame(L"", "Con::acceptServerAccount"));
            const tarvo::unique_hlocal owner(sid);
            return VSID(sid);
        }
    }
    return underWine() ? security::processUser() : VSID();
}

std::wstring accountName(const VSID& sid) {
    try {
        std::wstring domain;
        const std::wstring name = sid.findAccount(&domain);
        if (!name.empty()) return domain.empty() ? name : domain + L"\\" + name;
    } catch (const vexception&) {
        // an account without a name here is shown by its SID
    }
    return sid.toString();
}
}  // namespace

DWORD replyTimeLimit() noexcept {
    const DWORD shorter = shortenedLimit;
    return shorter ? std::min(shorter, replyTimeLimitMs) : replyTimeLimitMs;
}

void shortenReplyTimeLimit(DWORD ms) noexcept { shortenedLimit = ms; }

void readReply(OverlappedPipe& pipe, void* buffer, DWORD length, ULONGLONG deadline, const std::wstring& name,
               const wchar_t* what, const char* function) {
    const auto expire = [&] {
        throw vexception(formatString(L"No reply from pipe %s within %lu ms: awaited %s", name,
                                      static_cast<unsigned long>(replyTimeLimit()), std::wstring(what)),
                         errorFrame(L"", function));
    };
    BYTE* bytes = static_cast<BYTE*>(buffer);
    DWORD done = 0;
    while (done < length && !pipe.finished()) {
        // Checked before every read too: a server sending empty messages must not keep the caller either.
        const ULONGLONG now = ::GetTickCount64();
        if (now >= deadline) expire();
        DWORD moved = pipe.beginRead(bytes + done, length - done, false);
        if (!pipe.idle()) {
            moved = pipe.complete(nullptr, static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, INFINITE - 1)), false);
            if (pipe.expired()) expire();
        }
        done += moved;
    }
    if (done != length) completedOnly(done, length, function);
}

void requireSystemServer(HANDLE pipe, const std::wstring& name, const char* function) {
    ULONG id = 0;
    if (!::GetNamedPipeServerProcessId(pipe, &id))
        throwOsError(L"Unable to learn the server process of pipe " + name, ::GetLastError(), errorFrame(L"", function));
    tarvo::unique_handle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id));
    tarvo::unique_handle token;
    if (!process || !::OpenProcessToken(process.get(), TOKEN_QUERY, token.put()))
        throwOsError(formatString(L"Unable to learn the account of the server of pipe %s (process %lu)", name,
                                  static_cast<unsigned long>(id)),
                     ::GetLastError(), errorFrame(L"", function));
    const VSID user = security::tokenUser(token.get());
    if (user == VSID::system()) return;
    const VSID extra = extraServerAccount();
    if (!extra.empty() && user == extra) return;
    throw vexception(formatString(L"The server of pipe %s runs as %s, not as LocalSystem: refused", name,
                                  accountName(user)),
                     errorFrame(L"", function));
}

void acceptServerAccount(const std::wstring& sid) {
    std::lock_guard guard(acceptedLock);
    acceptedAccount = sid;
}

// ---- Pipe pairs

PipePair createPipePair(bool overlapped, bool inheritable, DWORD bufferSize) {
    PipePair pair;
    pair.name = newPairName();
    SECURITY_ATTRIBUTES security{sizeof security, nullptr, inheritable};
    // A named pipe made with no buffer holds every write until it is read; an anonymous pipe's default
    // size (what CreatePipe takes for 0) lets a writer run ahead of its reader.
    if (bufferSize == 0) bufferSize = defaultPairBuffer;
    // The first instance of a fresh name, or nothing: no other process can have made it first.
    tarvo::unique_file server(::CreateNamedPipeW(
        pair.name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_FIRST_PIPE_INSTANCE | (overlapped ? FILE_FLAG_OVERLAPPED : 0),
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, bufferSize, bufferSize, 0,
        &security));
    if (!server)
        throwOsError(L"Unable to create pipe " + pair.name, ::GetLastError(),
                     errorFrame(L"", overlapped ? "Con::ServerOverlappedPipe::create" : "Con::ServerPipe::create"));
    // The child writes with plain WriteFile, which is only reliable on a handle opened without overlapped I/O.
    if (overlapped) {
        auto end = std::make_unique<ServerOverlappedPipe>(server.release());
        pair.client = std::make_unique<ClientPipe>(pair.name, GENERIC_WRITE, PIPE_READMODE_BYTE, 1);
        end->connect(INFINITE);
        pair.server = std::move(end);
    } else {
        auto end = std::make_unique<ServerPipe>(server.release());
        pair.client = std::make_unique<ClientPipe>(pair.name, GENERIC_WRITE, PIPE_READMODE_BYTE, 1);
        end->connect();
        pair.server = std::move(end);
    }
    return pair;
}

}  // namespace Con
