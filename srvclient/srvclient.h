#pragma once
// The client of the panel's management service.
//
// A request travels over the service's named pipe as u32 N, the command's 16 GUID bytes (raw), then N - 16
// bytes of arguments in the serializer format; the answer as u32 M, then M bytes in the serializer format
// (an error report in place of the result when the service failed). The pipe is "\\.\pipe\" + the string
// value named by the channel (by default "hvcpipe", whose own name is the default) under the configuration
// key, read again whenever the channel connects. Every reply comes within Con::replyTimeLimit(); a server
// that is not LocalSystem is refused before any request reaches it.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "srvclient/pipes.h"
#include "srvclient/vserializer.h"

namespace vpipechannel {

// Longest reply accepted; a longer announced length fails with invalidprotocol before anything is
// allocated or read. Answers are configuration strings and directories.
constexpr std::uint32_t maxReplySize = 16u * 1024 * 1024;

// One request-reply exchange at a time over one client end of the service's pipe. A request that fails is
// sent once more on a new connection; a failure then reaches the caller, and a connection it left in an
// unknown state is dropped so that the next request starts on a new one.
class client {
public:
    // `keyPath` under HKEY_LOCAL_MACHINE (64-bit view) holds the string value `valueName` naming the pipe.
    client(std::wstring keyPath, std::wstring valueName, bool connectNow);
    client(const client&) = delete;
    client& operator=(const client&) = delete;
    ~client();

    // Opens the pipe unless the current one's handle is valid; `tries` is the default try count
    // ("PipeConnectTryCount" overrides it).
    void connect(DWORD tries);
    // Drops the current pipe and connects with 10 tries.
    void reconnect();
    // Sends the command and its serialized arguments and returns a reader over the reply (empty for a reply
    // of length 0).
    vserializer::reader query(const GUID& command, const vserializer::writer& payload);
    // "\\.\pipe\" + the configured name.
    std::wstring pipePath() const;

private:
    vserializer::reader exchange(const GUID& command, const vserializer::writer& payload);

    std::unique_ptr<Con::ClientOverlappedPipe> pipe_;
    std::wstring path_;  // of the current pipe
    std::wstring keyPath_;
    std::wstring valueName_;
    std::mutex lock_;
};

}  // namespace vpipechannel

class TarvoSrvClient {
public:
    static constexpr GUID getStringCommand = {0xAD3EBC3C, 0xE6B9, 0x4FCF, {0xAB, 0xB9, 0xED, 0x1B, 0x3D, 0x52, 0x4F, 0x22}};
    static constexpr GUID componentInfoCommand = {
        0x943B58AA, 0x49DE, 0x47A5, {0xAA, 0x59, 0x0E, 0x01, 0x0A, 0x48, 0xC3, 0x41}};
    // The kind of componentInfo that answers the component's installation directory ("" when not installed).
    static constexpr std::uint32_t componentDirectory = 2;

    // The process's shared client, made (and connected) on the first call; a failed making is tried again on
    // the next call.
    static TarvoSrvClient& getInstance();

    // A client of its own on the pipe named by the configuration value `valueName`, connected at once.
    explicit TarvoSrvClient(const std::wstring& valueName = L"hvcpipe");

    // A configuration string of the panel ("PRODUCT_ROOT_D"). The service's error report arrives as a
    // vexception carrying the service's message; every failure names the pipe and the request.
    std::wstring getString(const std::wstring& name);
    // Information on an installed component: with componentDirectory its directory, "" when not installed.
    std::wstring componentInfo(const std::wstring& package, std::uint32_t kind);

    vpipechannel::client& channel() noexcept { return channel_; }

private:
    std::wstring ask(const GUID& command, const vserializer::writer& payload);
    vpipechannel::client channel_;
};
