// Named pipes: the pairs made for a child's standard handles, overlapped reads, message-mode reads and the
// attempts of a client to connect.
#include <windows.h>
#include <winternl.h>

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "runtime/errors/vexception.h"
#include "srvclient/pipes.h"
#include "tests/mgmtservice.h"

namespace {

// True when the handle was opened for synchronous I/O (without FILE_FLAG_OVERLAPPED).
bool synchronous(HANDLE handle) {
    using Query = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, FILE_INFORMATION_CLASS);
    static const auto query =
        reinterpret_cast<Query>(reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationFile")));
    IO_STATUS_BLOCK status{};
    ULONG mode = 0;
    EXPECT_EQ(query(handle, &status, &mode, sizeof mode, FileModeInformation), 0);
    return (mode & (0x10 /* FILE_SYNCHRONOUS_IO_ALERT */ | 0x20 /* FILE_SYNCHRONOUS_IO_NONALERT */)) != 0;
}

// The message of the vexception `call` throws.
template <typename Call>
std::wstring failureMessage(Call&& call) {
    return thrownVexception(std::forward<Call>(call)).message();
}

TEST(Pipes, APairCarriesTheChildsWritesToTheParentsServerEnd) {
    for (const bool overlapped : {false, true}) {
        SCOPED_TRACE(overlapped ? "overlapped" : "plain");
        Con::PipePair pair = Con::createPipePair(overlapped, false, 0);
        // A fresh random name, with one instance, ours: nobody can serve it beside us.
        static const std::wregex name(
            L"\\\\\\\\\\.\\\\pipe\\\\TarvoWin32\\.Pipes\\.[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
        EXPECT_TRUE(std::regex_match(pair.name, name)) << ::testing::PrintToString(pair.name);
        EXPECT_NE(Con::createPipePair(overlapped, false, 0).name, pair.name);
        EXPECT_FALSE(tarvo::unique_file(
            ::CreateNamedPipeW(pair.name.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE, 1, 0, 0, 0, nullptr)));
        EXPECT_EQ(pair.overlappedServer() != nullptr, overlapped);
        EXPECT_TRUE(synchronous(pair.client->handle())) << "the child's end is never overlapped";
        EXPECT_EQ(synchronous(pair.server->handle()), !overlapped);

        // A clone for a child: inheritable, and its writes arrive like the original's.
        const std::unique_ptr<Con::Pipe> childEnd = pair.client->clone();
        DWORD flags = 0;
        ASSERT_TRUE(::GetHandleInformation(childEnd->handle(), &flags));
        EXPECT_TRUE(flags & HANDLE_FLAG_INHERIT);
        EXPECT_EQ(pair.client->write("hello ", 6, true), 6u);
        EXPECT_EQ(childEnd->write("world", 5, true), 5u);
        char text[11] = {};
        EXPECT_EQ(pair.server->read(text, 11, true), 11u);
        EXPECT_EQ(std::string(text, 11), "hello world");

        // Once every write end is gone, a whole read fails and the pipe stays finished.
        pair.client.reset();
        childEnd->close();
        EXPECT_TRUE(childEnd->finished());
        EXPECT_EQ(failureMessage([&] { pair.server->read(text, 4, true); }), L"Completed only 0 of 4 bytes");
        EXPECT_TRUE(pair.server->finished());
        EXPECT_EQ(pair.server->read(text, 4, false), 0u);
    }
}

TEST(Pipes, OverlappedReadsEndAtTheirTimeLimitOrCancelEventAndKeepTheirData) {
    Con::PipePair pair = Con::createPipePair(true, false, 0);
    Con::OverlappedPipe& server = *pair.overlappedServer();
    char buffer[16] = {};
    EXPECT_EQ(server.beginRead(buffer, sizeof buffer, false), 0u);
    EXPECT_FALSE(server.idle());
    EXPECT_EQ(failureMessage([&] { server.beginRead(buffer, sizeof buffer, false); }), L"Previous request has not completed!");
    EXPECT_EQ(server.complete(nullptr, 50, false), 0u);
    EXPECT_TRUE(server.idle());
    EXPECT_EQ(failureMessage([&] { server.complete(nullptr, 0, false); }), L"Previous request has completed!");

    tarvo::unique_handle cancel(::CreateEventW(nullptr, TRUE, TRUE, nullptr));
    EXPECT_EQ(server.beginRead(buffer, sizeof buffer, false), 0u);
    EXPECT_EQ(server.complete(cancel.get(), INFINITE, false), 0u);
    EXPECT_TRUE(server.idle());

    // Output written while a read is pending completes it.
    EXPECT_EQ(server.beginRead(buffer, sizeof buffer, false), 0u);
    pair.client->write("out", 3, true);
    ::ResetEvent(cancel.get());
    EXPECT_EQ(server.complete(cancel.get(), 10000, false), 3u);
    EXPECT_EQ(std::string(buffer, 3), "out");
    // A pending read at destruction is cancelled before its buffer goes.
    EXPECT_EQ(server.beginRead(buffer, sizeof buffer, false), 0u);
}

// Against a message-mode server of the test's own, with a client end of either kind.
TEST(Pipes, WholeReadsGatherMessagesAndAMessageLongerThanTheBufferIsData) {
    for (const bool overlapped : {true, false}) {
        SCOPED_TRACE(overlapped ? "overlapped" : "plain");
        const std::wstring path = Con::pipePrefix + uniqueName(L"messages");
        const tarvo::unique_file server(::CreateNamedPipeW(path.c_str(), PIPE_ACCESS_DUPLEX,
                                                           PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 4096,
                                                           4096, 0, nullptr));
        const DWORD access = GENERIC_READ | GENERIC_WRITE;
        std::unique_ptr<Con::Pipe> client;
        if (overlapped)
            client = std::make_unique<Con::ClientOverlappedPipe>(path, access, PIPE_READMODE_MESSAGE, 1);
        else
            client = std::make_unique<Con::ClientPipe>(path, access, PIPE_READMODE_MESSAGE, 1);
        EXPECT_TRUE(::ConnectNamedPipe(server.get(), nullptr) || ::GetLastError() == ERROR_PIPE_CONNECTED);
        const auto send = [&](const std::string& message) {
            DWORD count = 0;
            EXPECT_TRUE(::WriteFile(server.get(), message.data(), static_cast<DWORD>(message.size()), &count, nullptr));
        };
        char text[8] = {};
        send("ab");
        send("cd");
        EXPECT_EQ(client->read(text, 4, true), 4u);
        EXPECT_EQ(std::string(text, 4), "abcd");
        send("wxyz");
        EXPECT_EQ(client->read(text, 2, false), 2u);
        EXPECT_EQ(client->read(text + 2, 2, true), 2u);
        EXPECT_EQ(std::string(text, 4), "wxyz");
        EXPECT_FALSE(client->finished());
    }
}

TEST(Pipes, AClientTriesAsOftenAsConfiguredUntilTheServerListens) {
    struct Case {
        DWORD tries;
        int listenAfter;  // failed attempts before the service makes its pipe; 0: never
        bool connects;
    };
    for (const Case c : {Case{2, 0, false}, Case{4, 3, true}, Case{3, 3, false}}) {
        SCOPED_TRACE(::testing::Message() << "tries " << c.tries << ", listening after " << c.listenAfter);
        ScopedTryCount tries(c.tries);
        MgmtService service({}, MgmtService::Start::OnListen);
        CapturedLog log;
        int attempts = 0;
        log.onMessage = [&](const std::wstring& text) {
            if (contains(text, L"Pipe " + service.path() + L" is not available (error 2)") && ++attempts == c.listenAfter)
                service.listen();
        };
        const Failure failure = failureOf([&] {
            Con::ClientOverlappedPipe client(service.path(), GENERIC_READ | GENERIC_WRITE, PIPE_READMODE_MESSAGE, 10);
            EXPECT_TRUE(client.valid());
        });
        EXPECT_EQ(failure.code, c.connects ? 0u : 2u);
        EXPECT_EQ(contains(failure.message, L"Unable to connect to pipe " + service.path()), !c.connects);
        EXPECT_EQ(attempts, c.connects ? c.listenAfter : static_cast<int>(c.tries));
        EXPECT_EQ(countContaining(log.lines(), L"of " + std::to_wstring(c.tries)), static_cast<size_t>(attempts));
    }
    // Without overlapped I/O (a pipe pair's own end) a missing pipe fails at once.
    CapturedLog log;
    EXPECT_THROW(Con::ClientPipe(L"\\\\.\\pipe\\tarvo-test-nobody", GENERIC_WRITE, PIPE_READMODE_BYTE, 10),
                 VFileNotFoundException);
    EXPECT_EQ(countContaining(log.lines(), L"is not available"), 0u);
}

}  // namespace
