#pragma once
// One end of a Windows named pipe, plain or overlapped, client or server, and pairs of freshly named pipes.
//
// Users:
// - the management-service channel and the impersonation client open the client end of a service's pipe
//   with ClientOverlappedPipe (message read mode, the configured number of tries);
// - process execution uses createPipePair for a child's standard output and input: the parent keeps the
//   server end (overlapped when asked, so that it can wait for output with a time limit and a cancel event
//   through beginRead and complete), the child gets the client end, which is never overlapped.
//
// Transfers: read and write move up to `length` bytes and return the count. End of file, a broken, closing
// or disconnected pipe, and closing the object mark the pipe finished for good: from then on a transfer makes
// no system call and moves nothing. A whole transfer goes on until `length` bytes moved, across as many
// messages as the peer wrote, and otherwise throws "Completed only %d of %d bytes", whatever stopped it. In
// message read mode a message longer than the buffer (the system's ERROR_MORE_DATA) is data; the rest comes
// with the next read.
//
// Reading a child's output with a time limit and a cancel event, on a pair's overlapped server end:
//   DWORD n = out.beginRead(buffer, size, false);
//   if (!out.idle()) n = out.complete(cancelEvent, timeoutMs, false);   // 0 and idle again on time-out
//   if (out.finished()) ...                                              // the child closed its end
//
// A pipe object is used by one thread at a time. Waits are alertable and cancellable.
#include <windows.h>

#include <memory>
#include <string>

#include "runtime/holder.h"

namespace Con {

// The prefix of every pipe name.
constexpr const wchar_t* pipePrefix = L"\\\\.\\pipe\\";

// Tries of a client connection: the DWORD "PipeConnectTryCount" of the configuration key when non-zero,
// else `defaultTries`. The value is re-read on the first call and every 16th after; a value that cannot be
// read (of the wrong type, say) stops the re-reading for the process.
DWORD tryCount(DWORD defaultTries);

class Pipe {
public:
    // Takes ownership of `handle` (INVALID_HANDLE_VALUE for none).
    explicit Pipe(HANDLE handle = INVALID_HANDLE_VALUE) noexcept;
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    virtual ~Pipe();
    virtual DWORD read(void* buffer, DWORD length, bool whole);
    virtual DWORD write(const void* buffer, DWORD length, bool whole);
    // Closes the handle and marks the pipe finished. Never throws.
    virtual void close(bool abandon = false);
    // A new object of this end's plain class sharing the pipe through a duplicated handle, inheritable so
    // that it can be handed to a child process. A closed pipe clones as closed.
    virtual std::unique_ptr<Pipe> clone() const;

    HANDLE handle() const noexcept { return handle_.get(); }
    bool valid() const noexcept { return static_cast<bool>(handle_); }
    bool finished() const noexcept { return finished_; }
    DWORD requested() const noexcept { return requested_; }

protected:
    // Runs `step` (one system transfer: the count it moved, 0 when the pipe turned out finished) once, or
    // for a whole transfer until `length` bytes moved (else "Completed only").
    template <typename Step>
    DWORD transfer(Step&& step, bool reading, BYTE* buffer, DWORD length, bool whole, const char* function);
    // True (and the pipe finished) for end of file, a broken, closing or disconnected pipe.
    bool endOfPipe(DWORD error) noexcept;
    static HANDLE duplicate(HANDLE handle, bool inheritable, const char* function);
    // A `Plain` over an inheritable duplicate of the handle, as finished as this one.
    template <typename Plain>
    std::unique_ptr<Pipe> cloneAs() const;

    tarvo::unique_file handle_;
    bool finished_ = false;
    DWORD requested_ = 0;
};

class ServerPipe : public Pipe {
public:
    using Pipe::Pipe;
    // Flushes (waits until the client has read what was written), disconnects, closes.
    ~ServerPipe() override;
    // Flushes and disconnects the client first unless `abandon`.
    void close(bool abandon = false) override;
    // Waits for a client; one that connected already is fine.
    void connect();
};

class ClientPipe : public Pipe {
public:
    using Pipe::Pipe;
    // Opens the client end of `name` without overlapped I/O (see ClientOverlappedPipe::create); only a busy
    // pipe (all instances connected) is retried, a missing one fails at once.
    ClientPipe(const std::wstring& name, DWORD access, DWORD readMode, DWORD defaultTries);
    static tarvo::unique_file create(const std::wstring& name, DWORD access, DWORD readMode, DWORD defaultTries);
};

class OverlappedPipe : public Pipe {
public:
    // Takes ownership of `handle`, opened with FILE_FLAG_OVERLAPPED; makes the transfer's event.
    explicit OverlappedPipe(HANDLE handle = INVALID_HANDLE_VALUE);
    // Cancels a pending transfer and waits until the system let go of the buffer, then closes.
    ~OverlappedPipe() override;
    DWORD read(void* buffer, DWORD length, bool whole) override;
    DWORD write(const void* buffer, DWORD length, bool whole) override;
    void close(bool abandon = false) override;
    std::unique_ptr<Pipe> clone() const override;

    // Starts one transfer: returns its count when it completed at once, 0 when it is pending (then finish it
    // with complete) or the pipe is finished. The buffer must stay valid until the transfer completed or was
    // cancelled. Throws "Previous request has not completed!" while one is pending.
    DWORD beginRead(void* buffer, DWORD length, bool whole);
    DWORD beginWrite(const void* buffer, DWORD length, bool whole);
    // Waits (alertable, cancellable) up to `timeoutMs` for the pending transfer and, when given, for
    // `cancelEvent`. Returns the count moved; on the cancel event or the time-out the transfer is cancelled
    // and what it moved before that is returned (often 0). With `whole`, a completed transfer that moved
    // fewer bytes than asked throws "Completed only". Throws "Previous request has completed!" when none is
    // pending.
    DWORD complete(HANDLE cancelEvent, DWORD timeoutMs, bool whole);

    // Cancels the pending transfer, if any, and waits until the system let go of its buffer; returns the count
    // it moved before the cancel took effect.
    DWORD cancel() noexcept { return cancelPending(); }

    bool idle() const noexcept { return idle_; }
    // True when the last complete ended by its time-out.
    bool expired() const noexcept { return expired_; }
    // Signalled while no transfer is pending and when the pending one completes.
    HANDLE event() const noexcept { return event_.get(); }

protected:
    // Cancels a pending transfer (or connection), waits for the system to let go of it and returns the
    // count it moved before the cancel took effect.
    DWORD cancelPending() noexcept;
    void resetEvent();

    OVERLAPPED overlapped_{};
    tarvo::unique_handle event_;
    bool idle_ = true;
    bool expired_ = false;

private:
    DWORD begin(bool reading, void* buffer, DWORD length, bool whole);
    DWORD internalComplete(bool whole);
    // One transfer of read or write: begun and, when pending, waited for without a limit.
    DWORD step(bool reading, BYTE* buffer, DWORD length);
};

class ServerOverlappedPipe : public OverlappedPipe {
public:
    using OverlappedPipe::OverlappedPipe;
    ~ServerOverlappedPipe() override;
    void close(bool abandon = false) override;
    // Waits up to `timeoutMs` for a client; the time-out throws with code 1460 (ERROR_TIMEOUT).
    void connect(DWORD timeoutMs);
};

class ClientOverlappedPipe : public OverlappedPipe {
public:
    using OverlappedPipe::OverlappedPipe;
    ClientOverlappedPipe(const std::wstring& name, DWORD access, DWORD readMode, DWORD defaultTries);
    // Opens the client end of the pipe `name` (the full "\\.\pipe\..." path) with overlapped I/O, trying
    // tryCount(defaultTries) times: a pipe that does not exist yet is tried again after 500 ms, a busy one
    // after waiting up to a second for a free instance; each such attempt is logged at level Info. Then sets
    // `readMode` (PIPE_READMODE_MESSAGE or PIPE_READMODE_BYTE). The end identifies the caller to the server
    // but never lets it act as the caller (SECURITY_IDENTIFICATION). Failures: "Unable to connect to pipe "
    // + name with the last error. The impersonation client opens its service's pipe with this too. A server
    // that does not run as LocalSystem is refused (requireSystemServer).
    static tarvo::unique_file create(const std::wstring& name, DWORD access, DWORD readMode, DWORD defaultTries);
};

// The longest wait for a service's reply, from its first byte asked to its last: with the one retry of a
// request, a row fails within two minutes.
constexpr DWORD replyTimeLimitMs = 50000;
// The limit in force: replyTimeLimitMs unless a test shortened it.
DWORD replyTimeLimit() noexcept;
// For tests: a shorter limit (never a longer one); 0 restores replyTimeLimitMs.
void shortenReplyTimeLimit(DWORD ms) noexcept;

// Reads the `length` bytes of part of a reply from the service's pipe `name`, waiting no later than
// `deadline` (a GetTickCount64 value). On expiry the read is cancelled and "No reply from pipe NAME within
// N ms: awaited WHAT" thrown; the caller then drops the connection, whose state is
// unknown. Fewer bytes than asked when the pipe ends throw "Completed only".
void readReply(OverlappedPipe& pipe, void* buffer, DWORD length, ULONGLONG deadline, const std::wstring& name,
               const wchar_t* what, const char* function);
inline ULONGLONG replyDeadline() noexcept { return ::GetTickCount64() + replyTimeLimit(); }

// Throws unless the process serving the client end `pipe` runs as LocalSystem: anyone may make a pipe of a
// service's name while the service is down. The message names the pipe and the server's account
// (DOMAIN\name, else its SID). Under Wine, where every process (services too) runs as the one user, that
// user is accepted as well, or instead the account a test set.
void requireSystemServer(HANDLE pipe, const std::wstring& name, const char* function);
// For tests: the account accepted besides LocalSystem, in place of Wine's user; empty restores the default.
void acceptServerAccount(const std::wstring& sid);

// A pipe in place of an anonymous one: the server end reads (inbound), the client end writes. The name is
// "\\.\pipe\TarvoWin32.Pipes." + a random UUID; the server end is made as the name's first and only
// instance and refuses remote clients. `inheritable` applies to the server end; give a child a clone() of
// the client end. bufferSize 0 is the system's default.
struct PipePair {
    std::wstring name;
    std::unique_ptr<Pipe> server;  // ServerOverlappedPipe when overlapped, else ServerPipe
    std::unique_ptr<ClientPipe> client;
    // The server end as overlapped pipe, or null when the pair is plain.
    OverlappedPipe* overlappedServer() const noexcept { return dynamic_cast<OverlappedPipe*>(server.get()); }
};
PipePair createPipePair(bool overlapped, bool inheritable, DWORD bufferSize);

}  // namespace Con
