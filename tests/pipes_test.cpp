// Named pipes: the pairs made for a child's standard handles, overlapped reads and the attempts of a client to
// connect. Replies in one message or several are read through the services' clients.
#include <windows.h>
#include <winternl.h>

#include <gtest/gtest.h>

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

// What a child's writes and their end look like through a pair is read through the processes' tests.
TEST(Pipes, APairHasAFreshNameNobodyElseCanServeAndASynchronousEndForTheChild) {
    for (const bool overlapped : {false, true}) {
        SCOPED_TRACE(overlapped ? "overlapped" : "plain");
        const Con::PipePair pair = Con::createPipePair(overlapped, false, 0);
        EXPECT_NE(Con::createPipePair(overlapped, false, 0).name, pair.name);
        EXPECT_FALSE(tarvo::unique_file(
            ::CreateNamedPipeW(pair.name.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE, 1, 0, 0, 0, nullptr)));
        EXPECT_EQ(pair.overlappedServer() != nullptr, overlapped);
        EXPECT_TRUE(synchronous(pair.client->handle()));
        EXPECT_EQ(synchronous(pair.server->handle()), !overlapped);
    }
}

// A pending read ends at its time limit or at once when the cancel event is set, and keeps the data that
// arrives; one pending at destruction is cancelled before its buffer goes.
TEST(Pipes, OverlappedReadsEndAtTheirTimeLimitOrCancelEventAndKeepTheirData) {
    Con::PipePair pair = Con::createPipePair(true, false, 0);
    Con::OverlappedPipe& server = *pair.overlappedServer();
    char buffer[16] = {};
    EXPECT_EQ(server.beginRead(buffer, sizeof buffer, false), 0u);
    EXPECT_EQ(server.complete(nullptr, 50, false), 0u);
    EXPECT_TRUE(server.idle());
    tarvo::unique_handle cancel(::CreateEventW(nullptr, TRUE, TRUE, nullptr));
    EXPECT_EQ(server.beginRead(buffer, sizeof buffer, false), 0u);
    const ULONGLONG started = ::GetTickCount64();
    EXPECT_EQ(server.complete(cancel.get(), 10000, false), 0u);
    EXPECT_LT(::GetTickCount64() - started, 5000u);
    EXPECT_TRUE(server.idle());
    EXPECT_EQ(server.beginRead(buffer, sizeof buffer, false), 0u);
    pair.client->write("out", 3, true);
    ::ResetEvent(cancel.get());
    EXPECT_EQ(server.complete(cancel.get(), 10000, false), 3u);
    EXPECT_EQ(std::string(buffer, 3), "out");
    EXPECT_EQ(server.beginRead(buffer, sizeof buffer, false), 0u);
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
