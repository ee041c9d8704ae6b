#include "srvclient/srvclient.h"

#include <cstdlib>

#include "runtime/errors/annotate.h"
#include "runtime/errors/format.h"
#include "runtime/logging/config.h"
#include "runtime/logging/logmanager.h"
#include "runtime/registry/registry.h"
#include "runtime/threads/cancelation.h"

namespace vpipechannel {

namespace {
constexpr int view64 = 2;
constexpr DWORD defaultTries = 10;
// Read and write, as the service's pipe expects its clients to ask.
constexpr DWORD serviceAccess = GENERIC_READ | GENERIC_WRITE | FILE_READ_DATA | FILE_WRITE_DATA;
}  // namespace

client::client(std::wstring keyPath, std::wstring valueName, bool connectNow)
    : keyPath_(std::move(keyPath)), valueName_(std::move(valueName)) {
    if (connectNow) connect(defaultTries);
}

client::~client() = default;

std::wstring client::pipePath() const {
    std::wstring name;
    if (registry::lookup(HKEY_LOCAL_MACHINE, keyPath_, valueName_, name, REG_SZ, view64) != ERROR_SUCCESS ||
        name.empty())
        name = valueName_;
    return Con::pipePrefix + name;
}

void client::connect(DWORD tries) {
    if (pipe_ && pipe_->valid()) return;
    path_ = pipePath();
    pipe_ = std::make_unique<Con::ClientOverlappedPipe>(path_, serviceAccess, PIPE_READMODE_MESSAGE, tries);
}

void client::reconnect() {
    pipe_.reset();
    connect(defaultTries);
}

vserializer::reader client::exchange(const GUID& command, const vserializer::writer& payload) {
    const char* function = "vpipechannel::client::query";
    connect(defaultTries);
    if (pipe_->finished()) {
        vlog(LogLevel::Warning, L"Connection to Tarvo Management Service is broken: Pipe is finished");
        throw vexception(L"Pipe is finished", errorFrame(L"", function));
    }
    vserializer::writer frame;
    frame.writeBlock(sizeof command, &command, true);
    frame.append(payload);
    const std::uint32_t length = frame.size();
    pipe_->write(&length, sizeof length, true);
    pipe_->write(frame.data(), frame.size(), true);

    // A server that stops in the middle of its reply must not keep the caller, and the channel, waiting.
    const ULONGLONG deadline = Con::replyDeadline();
    std::uint32_t replyLength = 0;
    Con::readReply(*pipe_, &replyLength, sizeof replyLength, deadline, path_, L"the length of a reply", function);
    if (replyLength > maxReplySize)
        throw vserializer::invalidprotocol(
            formatString(L"The reply length %lu from pipe %s exceeds the limit of %lu bytes",
                         static_cast<unsigned long>(replyLength), path_, static_cast<unsigned long>(maxReplySize)),
            errorFrame(L"", function));
    vserializer::Buffer reply;
    if (replyLength) {
        reply.reset(static_cast<BYTE*>(std::malloc(replyLength)));
        if (!reply) throwOutOfMemory();
        Con::readReply(*pipe_, reply.get(), replyLength, deadline, path_,
                       formatString(L"a reply of %lu bytes", static_cast<unsigned long>(replyLength)).c_str(), function);
    }
    // What follows a reply would be taken for the length of the next one.
    DWORD surplus = 0;
    if (::PeekNamedPipe(pipe_->handle(), nullptr, 0, nullptr, &surplus, nullptr) && surplus)
        throw vserializer::invalidprotocol(
            formatString(L"The reply from pipe %s is %lu bytes longer than its length %lu", path_, surplus,
                         static_cast<unsigned long>(replyLength)),
            errorFrame(L"", function));
    return vserializer::reader(std::move(reply), replyLength);
}

vserializer::reader client::query(const GUID& command, const vserializer::writer& payload) {
    std::lock_guard guard(lock_);
    for (bool retried = false;; retried = true) {
        try {
            return exchange(command, payload);
        } catch (const ThreadCancelation::ThreadCanceled&) {
            throw;
        } catch (const vexception& e) {
            if (retried) {
                // A live connection may still hold part of this exchange; a finished one is noticed next time.
                if (pipe_ && !pipe_->finished()) pipe_.reset();
                throw;
            }
            vlog(LogLevel::Info, L"Tarvo Management service pipe communication error: %s. Trying to reconnect.",
                 e.toString());
        } catch (...) {
            if (retried) {
                if (pipe_ && !pipe_->finished()) pipe_.reset();
                throw;
            }
            vlog(LogLevel::Info, L"Tarvo Management service pipe unknown communication error. Trying to reconnect.");
        }
        reconnect();
    }
}

}  // namespace vpipechannel

TarvoSrvClient& TarvoSrvClient::getInstance() {
    return annotate("TarvoSrvClient::getInstance", L"get shared instance of TarvoSrvClient", []() -> TarvoSrvClient& {
        static TarvoSrvClient instance;  // a construction that throws is tried again by the next call
        return instance;
    });
}

TarvoSrvClient::TarvoSrvClient(const std::wstring& valueName) : channel_(logconfig::key, valueName, true) {}

std::wstring TarvoSrvClient::ask(const GUID& command, const vserializer::writer& payload) {
    std::wstring path;
    return annotate(
        "vpipechannel::client::query", [&] { return L"Tarvo Management Service at pipe " + path; },
        [&] {
            ThreadCancelation::CancelationPoint point(ThreadCancelation::Asynchronous);
            path = channel_.pipePath();
            return channel_.query(command, payload).readString();
        });
}

std::wstring TarvoSrvClient::getString(const std::wstring& name) {
    return annotate("TarvoSrvClient::getString", [&] { return formatString(L"getString(%s)", name); }, [&] {
        vserializer::writer payload;
        payload.writeString(name);
        return ask(getStringCommand, payload);
    });
}

std::wstring TarvoSrvClient::componentInfo(const std::wstring& package, std::uint32_t kind) {
    return annotate(
        "TarvoSrvClient::componentInfo", [&] { return formatString(L"componentInfo for package '%s'", package); },
        [&] {
            vserializer::writer payload;
            payload.writeString(package);
            payload.writeInt32(kind);
            return ask(componentInfoCommand, payload);
        });
}
