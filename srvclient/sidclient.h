#pragma once
// The client of the panel's impersonation service: a process started under another account (named by its
// SID) by the service, which hands back a handle of the new process, while this process keeps our ends of
// the child's standard input, output and error pipes.
//
//   RunTime::SIDClient client;
//   tarvo::unique_handle child = client.execute(VSID::system(), false, L"", commandLine, directory,
//                                               environment.block(), false, false, false, true, false);
//   client.closeStdin();
//   readProcessOutput(out, err, client.stdoutPipe(), client.stderrPipe(), ...);
//   DWORD code = VProcess::getExitCode(child.get());
//
// The service's pipe is "\\.\pipe\" + the string "HVC_pipe" of the configuration key (64-bit view),
// "HVC_pipe {110D2F0F-F073-4021-AB73-C7886FB9BD1E}" when it is missing. One connection serves the process,
// one exchange at a time. Every number is a little-endian u32 ("word"); a sized item is a word L and L
// bytes; a string is a sized item of UTF-16LE code units without terminator; a flag a sized item of 4 bytes
// holding 0 or 1. A request is two exchanges, each a message and its reply:
//   first: word 1 (start a process), word flags (2 + option 2 + 4 x option 3), string user SID ("S-1-5-18"),
//      sized start block (StartBlock: 40 bytes);
//      reply: acknowledgement. The service has taken its own copies of the three child ends by then, so
//      ours are closed here.
//   second: flag extra text, the string extra text only when the flag is set, strings text 1 (command line),
//      text 2 (working directory), text 3 (environment block);
//      reply: 8 bytes, the first 4 the value of the process handle the service made in this process.
// A reply is word type, word L, then L bytes unless the type is 0 or 2. Type 0xFFFFFFFF is a refusal whose
// bytes are the service's message (UTF-16LE). Each reply comes within Con::replyTimeLimit(), else the
// connection is dropped and the error names the pipe and the reply awaited; a server that does not run as
// LocalSystem is refused before anything is sent (Con::requireSystemServer).
//
// A broken or silent connection during the first exchange is opened anew once and the request sent again from its
// command word (logged at level Info). Nothing is sent again once the service acknowledged, since our child
// ends are closed by then; a refusal is never sent again.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "runtime/holder.h"
#include "runtime/security/security.h"
#include "srvclient/pipes.h"

class VThread;

namespace RunTime {

namespace sidwire {
constexpr std::uint32_t startProcess = 1;
constexpr std::uint32_t refusal = 0xFFFFFFFF;
constexpr DWORD startBlockSize = 40;
constexpr DWORD handleReplySize = 8;
constexpr const wchar_t* pipeValue = L"HVC_pipe";
constexpr const wchar_t* defaultPipeName = L"HVC_pipe {110D2F0F-F073-4021-AB73-C7886FB9BD1E}";

// The start block as it travels (offsets 0, 4, 8, 16, 24, 32, 36): the child ends are this process's handle
// values, sign-extended, for the service to duplicate out of this process.
struct StartBlock {
    std::uint32_t processId;
    std::uint32_t threadId;
    std::int64_t childStdinRead;
    std::int64_t childStdoutWrite;
    std::int64_t childStderrWrite;
    std::uint32_t option1;
    std::uint32_t padding;
};
static_assert(sizeof(StartBlock) == startBlockSize);

// "\\.\pipe\" + the configured name.
std::wstring pipePath();
}  // namespace sidwire

class PipeClient {
public:
    virtual ~PipeClient();
};

class SIDClient : public PipeClient {
public:
    SIDClient();
    SIDClient(const SIDClient&) = delete;
    SIDClient& operator=(const SIDClient&) = delete;
    // Stops the input thread (its blocked read cancelled, then waited for), then closes every end.
    ~SIDClient() override;

    // Starts text 1 as `user` through the service and returns the child's process handle. The pipe ends of
    // an earlier run are closed first. With `overlappedOutput` our output ends are overlapped (for
    // readProcessOutput) and the child's stay synchronous; without it both are anonymous pipes. With
    // `startInputThread` a thread copies this process's standard input to the child's.
    tarvo::unique_handle execute(const VSID& user, bool withExtraText, const std::wstring& extraText,
                                 const std::wstring& text1, const std::wstring& text2, const std::wstring& text3,
                                 bool startInputThread, bool option1, bool option2, bool overlappedOutput,
                                 bool option3);

    // Our ends, once executed: the child's standard input (writing), output and error (reading).
    Con::Pipe* stdinPipe() const noexcept { return stdin_.get(); }
    Con::Pipe* stdoutPipe() const noexcept { return stdout_.get(); }
    Con::Pipe* stderrPipe() const noexcept { return stderr_.get(); }
    // The output ends as overlapped pipes, or null when the run's output is not overlapped.
    Con::OverlappedPipe* overlappedStdout() const noexcept;
    Con::OverlappedPipe* overlappedStderr() const noexcept;
    // Ends the child's standard input (after stopping the input thread, which owns it while it runs).
    void closeStdin() noexcept;
    // The most output a reader should keep of the two pipes together.
    std::uint32_t outputLimit() const noexcept { return outputLimit_; }

    // The exchange's own bytes, for the stand-in service: u32 words, sized items and strings.
    static std::string word(std::uint32_t value);
    static std::string item(const void* bytes, std::uint32_t length);
    static std::string string(const std::wstring& text);

protected:
    // Starts the thread that copies this process's standard input to the child's (closing the handle of an
    // earlier one).
    virtual void startInputThread();
    // The input thread's body: blocks of 4096 bytes until a read fails or the thread is asked to stop, then
    // the child's standard input is closed.
    virtual void copyStdin();

private:
    void releaseEnds() noexcept;
    void createPipes(bool overlappedOutput);
    void stopInputThread() noexcept;
    tarvo::unique_handle exchange(const VSID& user, bool withExtraText, const std::wstring& extraText,
                                  const std::wstring& text1, const std::wstring& text2, const std::wstring& text3,
                                  bool option1, bool option2, bool option3);

    std::unique_ptr<Con::Pipe> stdin_;
    std::unique_ptr<Con::Pipe> stdout_;
    std::unique_ptr<Con::Pipe> stderr_;
    std::uint32_t outputLimit_ = 0x1000000;
    // The child's ends, held until the service has its copies.
    std::unique_ptr<Con::Pipe> childStdinRead_;
    std::unique_ptr<Con::Pipe> childStdoutWrite_;
    std::unique_ptr<Con::Pipe> childStderrWrite_;
    std::unique_ptr<VThread> inputThread_;
    std::atomic<bool> stopInput_{false};
};

}  // namespace RunTime
