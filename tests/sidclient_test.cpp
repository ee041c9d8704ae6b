// The impersonation client against the stand-in impersonation service: the request byte for byte, the child
// started with our pipe ends, the one resend of a broken first exchange, refusals, and the input thread.
#include <gtest/gtest.h>

#include <cstring>
#include <future>

#include "runtime/errors/codepage.h"
#include "runtime/process/command.h"
#include "runtime/process/vexecutil.h"
#include "srvclient/sidclient.h"
#include "tests/childprocess.h"
#include "tests/sidservice.h"

namespace {

std::string u32(std::uint32_t value) { return std::string(reinterpret_cast<const char*>(&value), sizeof value); }
std::string sized(const std::string& bytes) { return u32(static_cast<std::uint32_t>(bytes.size())) + bytes; }

// Command word, flags, SID and start block: what the first part of every request takes.
constexpr size_t firstPartSize = 4 + 4 + (4 + 16) + (4 + 40);

std::wstring child(const std::wstring& arguments) { return quoteArgument(childProgram()) + L" " + arguments; }

tarvo::unique_handle start(RunTime::SIDClient& client, const std::wstring& commandLine, bool input = false) {
    return client.execute(VSID::system(), false, L"", commandLine, L"", L"", input, false, false, true, false);
}

// What the child wrote on standard output (and error), once it has ended; the reading ends only when our
// copies of the child's ends are closed.
std::string outputOf(RunTime::SIDClient& client, std::string* error = nullptr) {
    std::string out, err;
    client.closeStdin();
    readProcessOutput(out, err, client.overlappedStdout(), client.overlappedStderr(), nullptr, INFINITE,
                      client.outputLimit(), nullptr);
    if (error) *error = err;
    return out;
}

size_t retries(CapturedLog& log) { return countContaining(log.lines(), L"Tarvo impersonation pipe communication error: "); }

}  // namespace

TEST(ImpersonationClient, SendsTheRequestByteForByteAndTheChildGetsOurPipes) {
    struct Case {
        const wchar_t* writes;
        bool extraText, option1, option2, option3;
        const char* flags;
    };
    for (const Case& row : {Case{L"one", false, false, false, false, "\x02"}, Case{L"items", true, true, true, true, "\x07"}}) {
        SCOPED_TRACE(cstr(row.writes));
        SidService service({L"--writes", row.writes});
        const std::wstring directory = tempDirectory();
        ProcessEnvironment environment;
        environment.set(L"TARVO_SEEN", L"yes");
        const std::wstring commandLine = child(L"--cwd --env TARVO_SEEN --out hi --err oops --exit 3");
        RunTime::SIDClient client;
        const tarvo::unique_handle process =
            client.execute(VSID::system(), row.extraText, L"more", commandLine, directory, environment.block(), false,
                           row.option1, row.option2, true, row.option3);
        std::string err;
        EXPECT_EQ(outputOf(client, &err), "cwd: " + cstr(directory, CP_UTF8) + "\r\nTARVO_SEEN=yes\r\nhi\r\n");
        EXPECT_EQ(err, "oops\r\n");
        EXPECT_EQ(VProcess::getExitCode(process.get()), 3u);

        const std::string record = service.record();
        ASSERT_GE(record.size(), firstPartSize);
        const std::string head =
            u32(1) + std::string(row.flags) + std::string(3, '\0') + sized(utf16(L"S-1-5-18")) + u32(40);
        EXPECT_EQ(record.substr(0, head.size()), head);
        RunTime::sidwire::StartBlock block{};
        std::memcpy(&block, record.data() + head.size(), sizeof block);
        EXPECT_EQ(block.processId, ::GetCurrentProcessId());
        EXPECT_EQ(block.threadId, ::GetCurrentThreadId());
        EXPECT_NE(block.childStdinRead, 0);
        EXPECT_NE(block.childStdoutWrite, block.childStdinRead);
        EXPECT_NE(block.childStderrWrite, block.childStdoutWrite);
        EXPECT_EQ(block.option1, row.option1 ? 1u : 0u);
        EXPECT_EQ(block.padding, 0u);
        const std::string second = sized(u32(row.extraText ? 1 : 0)) + (row.extraText ? sized(utf16(L"more")) : "") +
                                   sized(utf16(commandLine)) + sized(utf16(directory)) + sized(utf16(environment.block()));
        EXPECT_EQ(record.substr(firstPartSize), second);
    }
}

// The service's answer is passed on as it is, never sent again: a refusal with its text, after the first or
// the second part, and a final reply of the wrong size as an invalid answer.
TEST(ImpersonationClient, RefusalsAndInvalidAnswersAreNotRetried) {
    struct Case {
        std::vector<std::wstring> arguments;
        std::wstring commandLine;
        const char* text;    // the beginning of the failure's text
        std::string second;  // the second part sent; "-": none, "": not checked
    };
    const Case cases[] = {
        {{L"--refuse", L"Account S-1-5-18 may not log on here"}, child(L"--exit 0"),
         "Account S-1-5-18 may not log on here", "-"},
        // The stand-in cannot start an empty command line and says so; three empty texts are three zero words.
        {{}, L"", "Unable to start process ''", u32(4) + std::string(4 + 12, '\0')},
        {{L"--reply-size", L"6"}, child(L"--exit 0"), "Invalid answer from server: (", ""},
        {{L"--reply-size", L"10"}, child(L"--exit 0"), "Invalid answer from server: (", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        SidService service(c.arguments);
        CapturedLog log;
        RunTime::SIDClient client;
        const std::string text = cstr(runtimeFailure([&] { start(client, c.commandLine); }));
        EXPECT_EQ(text.rfind(c.text, 0), 0u) << text;
        const std::string record = service.record();
        if (c.second.empty()) {
            EXPECT_TRUE(text.ends_with("\\x00)")) << "the NUL bytes of the handle are shown: " << text;
        } else {
            EXPECT_EQ(record.substr(firstPartSize), c.second == "-" ? "" : c.second);
        }
        service.process().stop();  // its output is complete
        EXPECT_EQ(service.process().count("request "), 1u);
        EXPECT_EQ(retries(log), 0u);
    }
}

TEST(ImpersonationClient, ABrokenFirstExchangeIsSentAgainFromTheCommandWordOnce) {
    SidService service({L"--break-first"});
    CapturedLog log;
    RunTime::SIDClient client;
    const tarvo::unique_handle process = start(client, child(L"--out again"));
    EXPECT_EQ(outputOf(client), "again\r\n");
    const std::string record = service.record();
    ASSERT_GT(record.size(), 2 * firstPartSize);
    EXPECT_EQ(record.substr(0, firstPartSize), record.substr(firstPartSize, firstPartSize));
    EXPECT_EQ(retries(log), 1u);
    EXPECT_TRUE(anyContains(log.lines(), L"Trying to reconnect again."));

    // The new connection serves the next request too.
    const tarvo::unique_handle next = start(client, child(L"--out next"));
    EXPECT_EQ(outputOf(client), "next\r\n");
    service.process().stop();
    EXPECT_EQ(service.process().count("connection "), 2u);
    EXPECT_EQ(service.process().count("request "), 3u);
}

TEST(ImpersonationClient, AMissingServiceFailsAfterOneReconnect) {
    ScopedConfigValue pipe(L"HVC_pipe", L"tarvo-test-nobody-" + std::to_wstring(::GetCurrentProcessId()));
    ScopedTryCount tries(1);
    CapturedLog log;
    RunTime::SIDClient client;
    const vexception failure = thrownVexception([&] { start(client, child(L"--exit 0")); });
    EXPECT_TRUE(contains(failure.toString(), L"Unable to connect to pipe \\\\.\\pipe\\tarvo-test-nobody-"));
    EXPECT_EQ(retries(log), 1u);
}

TEST(ImpersonationClient, TheInputThreadCopiesOurInputAndDestructionCancelsItsRead) {
    SidService service;
    const HANDLE previous = ::GetStdHandle(STD_INPUT_HANDLE);
    for (const bool typing : {true, false}) {
        HANDLE read = nullptr, write = nullptr;
        ASSERT_TRUE(::CreatePipe(&read, &write, nullptr, 0));
        tarvo::unique_handle ourInput(read), typed(write);
        ::SetStdHandle(STD_INPUT_HANDLE, ourInput.get());
        // Without typing, the thread stays blocked in its read until the destructor cancels it.
        auto destroyed = std::async(std::launch::async, [&] {
            RunTime::SIDClient client;
            const tarvo::unique_handle process = start(client, child(typing ? L"--stdin" : L"--exit 0"), true);
            if (!typing) return ::Sleep(100);
            DWORD written = 0;
            ASSERT_TRUE(::WriteFile(typed.get(), "typed\r\n", 7, &written, nullptr));
            typed.reset();  // the end of our input ends the child's
            std::string out, err;
            readProcessOutput(out, err, client.overlappedStdout(), client.overlappedStderr(), nullptr, INFINITE,
                              client.outputLimit(), nullptr);
            EXPECT_EQ(out, "typed\r\n");
        });
        EXPECT_EQ(destroyed.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    }
    ::SetStdHandle(STD_INPUT_HANDLE, previous);
}
