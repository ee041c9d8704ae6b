#include "srvclient/sidclient.h"

#include <cstring>
#include <functional>
#include <mutex>
#include <stdexcept>

#include "runtime/errors/annotate.h"
#include "runtime/errors/codepage.h"
#include "runtime/errors/format.h"
#include "runtime/logging/config.h"
#include "runtime/logging/logmanager.h"
#include "runtime/registry/registry.h"
#include "runtime/threads/vthread.h"
#include "srvclient/srvclient.h"

namespace RunTime {

namespace {

constexpr int view64 = 2;
constexpr DWORD defaultTries = 10;
// Read and write, as the service's pipe expects its clients to ask (0xC0000003).
constexpr DWORD serviceAccess = GENERIC_READ | GENERIC_WRITE | FILE_READ_DATA | FILE_WRITE_DATA;
constexpr DWORD stdinBlock = 4096;
constexpr const char* executeFunction = "RunTime::SIDClient::execute";

// The process's one connection to the service and the lock that keeps its exchanges apart.
struct Connection {
    std::mutex lock;
    std::unique_ptr<Con::ClientOverlappedPipe> pipe;

    // The open connection, or a new one when there is none or the last one broke; `reused` tells which.
    Con::Pipe& open(bool& reused) {
        reused = pipe && pipe->valid() && !pipe->finished();
        if (!reused)
            pipe = std::make_unique<Con::ClientOverlappedPipe>(sidwire::pipePath(), serviceAccess,
                                                                PIPE_READMODE_MESSAGE, defaultTries);
        return *pipe;
    }
    // A connection left in the middle of an exchange would mix the next one up with its rest.
    void drop() noexcept { pipe.reset(); }
};

Connection& connection() {
    static Connection shared;
    return shared;
}

struct Reply {
    std::uint32_t type = 0;
    std::string bytes;
    std::wstring text() const {
        return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
    }
};

// A reply within the reply time limit; `exchange` names the exchange it answers.
Reply readReply(Con::ClientOverlappedPipe& pipe, const wchar_t* exchange) {
    const ULONGLONG deadline = Con::replyDeadline();
    const std::wstring path = sidwire::pipePath();
    const auto read = [&](void* buffer, DWORD length, const wchar_t* part) {
        Con::readReply(pipe, buffer, length, deadline, path, formatString(L"%s of the %s", part, exchange).c_str(),
                       executeFunction);
    };
    Reply reply;
    std::uint32_t length = 0;
    read(&reply.type, sizeof reply.type, L"the reply type");
    read(&length, sizeof length, L"the reply length");
    if (reply.type == 0 || reply.type == 2) return reply;
    if (length > vpipechannel::maxReplySize)
        throw vexception(formatString(L"The reply length %lu from the impersonation service exceeds the limit of %lu bytes",
                                      static_cast<unsigned long>(length),
                                      static_cast<unsigned long>(vpipechannel::maxReplySize)),
                         errorFrame(L"", executeFunction));
    reply.bytes.resize(length);
    read(reply.bytes.data(), length, L"the reply");
    return reply;
}

// A refusal is the service's answer, not a failure of the connection: it is passed on, never retried.
const Reply& accepted(const Reply& reply) {
    if (reply.type == sidwire::refusal) throw std::runtime_error(cstr(reply.text()));
    return reply;
}

// The text of a reply of the wrong size, its control characters (the bytes of a handle value, mostly) written
// as \xNN: a NUL would cut the message short.
std::wstring legible(const std::wstring& text) {
    std::wstring shown;
    for (const wchar_t c : text) shown += c < 0x20 ? formatString(L"\\x%02X", static_cast<unsigned>(c)) : std::wstring(1, c);
    return shown;
}

void send(Con::Pipe& pipe, const std::string& bytes) {
    pipe.write(bytes.data(), static_cast<DWORD>(bytes.size()), true);
}

// Sends the command word of a new request. A connection that the service closed since the last exchange is
// found out by this first write: a new one takes its place without counting as a failed attempt.
Con::Pipe& startRequest(Connection& shared) {
    const std::uint32_t command = sidwire::startProcess;
    bool reused = false;
    Con::Pipe* pipe = &shared.open(reused);
    if (reused) {
        if (pipe->write(&command, sizeof command, false) == sizeof command) return *pipe;
        shared.drop();
        pipe = &shared.open(reused);
    }
    pipe->write(&command, sizeof command, true);
    return *pipe;
}

std::int64_t handleValue(HANDLE handle) noexcept {
    return static_cast<std::int64_t>(reinterpret_cast<std::intptr_t>(handle));
}

// A library thread running a body of its owner's.
class BodyThread : public vthreadexec {
public:
    BodyThread(Construction construction, std::function<void()> body)
        : vthreadexec(construction), body_(std::move(body)) {}
    DWORD execute() override {
        body_();
        return 0;
    }

private:
    std::function<void()> body_;
};

}  // namespace

std::wstring sidwire::pipePath() {
    std::wstring name;
    if (registry::lookup(HKEY_LOCAL_MACHINE, logconfig::key, pipeValue, name, REG_SZ, view64) != ERROR_SUCCESS ||
        name.empty())
        name = defaultPipeName;
    return Con::pipePrefix + name;
}

PipeClient::~PipeClient() = default;

SIDClient::SIDClient() = default;

SIDClient::~SIDClient() { releaseEnds(); }

std::string SIDClient::word(std::uint32_t value) {
    return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

std::string SIDClient::item(const void* bytes, std::uint32_t length) {
    return word(length) + std::string(static_cast<const char*>(bytes), length);
}

std::string SIDClient::string(const std::wstring& text) {
    return item(text.data(), static_cast<std::uint32_t>(text.size() * sizeof(wchar_t)));
}

Con::OverlappedPipe* SIDClient::overlappedStdout() const noexcept {
    return dynamic_cast<Con::OverlappedPipe*>(stdout_.get());
}

Con::OverlappedPipe* SIDClient::overlappedStderr() const noexcept {
    return dynamic_cast<Con::OverlappedPipe*>(stderr_.get());
}

void SIDClient::stopInputThread() noexcept {
    if (!inputThread_) return;
    stopInput_ = true;
    if (const HANDLE thread = inputThread_->handle()) {
        // The thread may be blocked reading our standard input or writing to the child: the call is cancelled.
        // One it starts after testing the flag is caught by the next round.
        do {
            ::CancelSynchronousIo(thread);
        } while (::WaitForSingleObject(thread, 20) == WAIT_TIMEOUT);
    }
    inputThread_.reset();
}

void SIDClient::closeStdin() noexcept {
    stopInputThread();
    if (stdin_) stdin_->close();
}

void SIDClient::releaseEnds() noexcept {
    stopInputThread();
    childStdinRead_.reset();
    childStdoutWrite_.reset();
    childStderrWrite_.reset();
    stdin_.reset();
    stdout_.reset();
    stderr_.reset();
}

void SIDClient::createPipes(bool overlappedOutput) {
    const auto anonymous = [](std::unique_ptr<Con::Pipe>& reading, std::unique_ptr<Con::Pipe>& writing) {
        HANDLE read = nullptr, write = nullptr;
        if (!::CreatePipe(&read, &write, nullptr, 0)) throwRuntimeError(L"Unable to create pipe", ::GetLastError());
        reading = std::make_unique<Con::Pipe>(read);
        writing = std::make_unique<Con::Pipe>(write);
    };
    anonymous(childStdinRead_, stdin_);
    for (auto [ours, childs] : {std::pair{&stdout_, &childStdoutWrite_}, std::pair{&stderr_, &childStderrWrite_}}) {
        if (!overlappedOutput) {
            anonymous(*ours, *childs);
            continue;
        }
        // Named, so that our end can be overlapped; the child's end stays synchronous, as a child writing with
        // plain WriteFile needs.
        Con::PipePair pair = Con::createPipePair(true, false, 0);
        *ours = std::move(pair.server);
        *childs = std::move(pair.client);
    }
}

void SIDClient::startInputThread() {
    stopInputThread();
    stopInput_ = false;
    auto thread = std::make_unique<JoinedThread<BodyThread>>([this] {
        const std::wstring failure = captureFailure(
            "RunTime::SIDClient::stdinThread", L"Thread fatal error (SIDClient::stdinThread)", [this] { copyStdin(); });
        if (!failure.empty()) vlog(LogLevel::Error, L"%s", failure);
    });
    thread->begin();
    inputThread_ = std::move(thread);
}

void SIDClient::copyStdin() {
    const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    char buffer[stdinBlock];
    DWORD count = 0;
    // A failed read ends the input (its end, no standard input, or the cancel of the destructor); a failed
    // write means the child has let go of its input.
    while (!stopInput_ && input != nullptr && input != INVALID_HANDLE_VALUE &&
           ::ReadFile(input, buffer, stdinBlock, &count, nullptr) && count > 0 && !stopInput_) {
        DWORD written = 0;
        for (DWORD at = 0; at < count; at += written)
            if (!::WriteFile(stdin_->handle(), buffer + at, count - at, &written, nullptr)) return stdin_->close();
    }
    stdin_->close();
}

tarvo::unique_handle SIDClient::execute(const VSID& user, bool withExtraText, const std::wstring& extraText,
                                        const std::wstring& text1, const std::wstring& text2,
                                        const std::wstring& text3, bool startInput, bool option1, bool option2,
                                        bool overlappedOutput, bool option3) {
    releaseEnds();
    createPipes(overlappedOutput);
    std::lock_guard guard(connection().lock);
    if (startInput) startInputThread();
    return exchange(user, withExtraText, extraText, text1, text2, text3, option1, option2, option3);
}

tarvo::unique_handle SIDClient::exchange(const VSID& user, bool withExtraText, const std::wstring& extraText,
                                         const std::wstring& text1, const std::wstring& text2,
                                         const std::wstring& text3, bool option1, bool option2, bool option3) {
    const std::wstring sid = user.toString();
    const sidwire::StartBlock block{::GetCurrentProcessId(),
                                    ::GetCurrentThreadId(),
                                    handleValue(childStdinRead_->handle()),
                                    handleValue(childStdoutWrite_->handle()),
                                    handleValue(childStderrWrite_->handle()),
                                    option1 ? 1u : 0u,
                                    0};
    const std::uint32_t flags = 2 + (option2 ? 1 : 0) + (option3 ? 4 : 0);
    Connection& shared = connection();

    // The first exchange. Until the acknowledgement our child ends are open, so the whole request can go again.
    Reply acknowledgement;
    for (bool retried = false;; retried = true) {
        try {
            Con::Pipe& pipe = startRequest(shared);
            send(pipe, word(flags));
            send(pipe, string(sid));
            send(pipe, item(&block, sizeof block));
            acknowledgement = readReply(*shared.pipe, L"first exchange (the acknowledgement)");
            break;
        } catch (const vexception& e) {
            shared.drop();
            if (retried) throw;
            vlog(LogLevel::Info, L"Tarvo impersonation pipe communication error: %s. Trying to reconnect again.",
                 e.toString());
        } catch (...) {
            shared.drop();
            throw;
        }
    }
    accepted(acknowledgement);
    // The service has its own copies now; ours would keep the child's pipes from ever reaching their end.
    childStdinRead_.reset();
    childStdoutWrite_.reset();
    childStderrWrite_.reset();

    // The second exchange. Never sent again: a repeated start block would name handles closed by now.
    Reply answer;
    try {
        Con::Pipe& pipe = *shared.pipe;
        const std::uint32_t extra = withExtraText ? 1 : 0;
        send(pipe, item(&extra, sizeof extra));
        if (withExtraText) send(pipe, string(extraText));
        for (const std::wstring* text : {&text1, &text2, &text3}) send(pipe, string(*text));
        answer = readReply(*shared.pipe, L"second exchange (the process handle)");
    } catch (...) {
        shared.drop();
        throw;
    }
    std::uint32_t value = 0;
    if (accepted(answer).bytes.size() == sidwire::handleReplySize) std::memcpy(&value, answer.bytes.data(), sizeof value);
    if (value == 0)
        throw std::runtime_error(cstr(formatString(L"Invalid answer from server: (%s)", legible(answer.text()))));
    // Handle values are 32-bit on both widths; sign-extended like the system does.
    return tarvo::unique_handle(reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(static_cast<std::int32_t>(value))));
}

}  // namespace RunTime
