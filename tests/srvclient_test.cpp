// The management service client against the stand-in service: answers however they are written, the one
// reconnect after a broken exchange, failures naming pipe and request, and who may serve the pipe.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <thread>

#include "runtime/security/security.h"
#include "srvclient/srvclient.h"
#include "tests/mgmtservice.h"
#include "fuzz/replyfuzz.h"
#include "tests/testutil.h"

namespace {

const std::wstring root = L"C:\\Tarvo \u00e9t\u00e9";

// A private client of the stand-in, through a configuration value of the test's own.
struct Connected {
    explicit Connected(MgmtService& service) : value(L"hvcpipe_test", service.name()), client(L"hvcpipe_test") {}
    ScopedConfigValue value;
    TarvoSrvClient client;
};

// The arguments of a stand-in that knows PRODUCT_ROOT_D, and `more`.
std::vector<std::wstring> withRoot(std::vector<std::wstring> more = {}) {
    more.insert(more.begin(), {L"--set", L"PRODUCT_ROOT_D=" + root});
    return more;
}

// Answers in one message, in a frame, or item by item, also to two threads asking at once: they take turns.
TEST(ManagementService, AnswersStringsAndComponentDirectoriesHoweverTheServiceWritesThemToThreadsInTurn) {
    for (const wchar_t* writes : {L"one", L"frame", L"items"}) {
        SCOPED_TRACE(::testing::PrintToString(std::wstring(writes)));
        MgmtService service(withRoot({L"--set", L"component.php=" + root + L"\\php", L"--set", L"component.perl=",
                                      L"--set", L"A=alpha", L"--writes", writes}));
        Connected connected(service);
        TarvoSrvClient& client = connected.client;
        EXPECT_EQ(client.getString(L"PRODUCT_ROOT_D"), root);
        EXPECT_EQ(client.componentInfo(L"php", TarvoSrvClient::componentDirectory), root + L"\\php");
        EXPECT_EQ(client.componentInfo(L"python", TarvoSrvClient::componentDirectory), L"") << "not installed";
        EXPECT_EQ(client.componentInfo(L"perl", TarvoSrvClient::componentDirectory), L"");
        const Failure unknown = failureOf([&] { client.getString(L"NO_SUCH_VALUE"); });
        EXPECT_TRUE(unknown.message.starts_with(L"Unknown value 'NO_SUCH_VALUE'\n")) << unknown.message;
        std::atomic<int> wrong{0};
        const auto ask = [&](const wchar_t* name, const std::wstring& expected) {
            for (int i = 0; i < 20; ++i) wrong += client.getString(name) != expected;
        };
        std::thread other(ask, L"A", L"alpha");
        ask(L"PRODUCT_ROOT_D", root);
        other.join();
        EXPECT_EQ(wrong, 0);
        service.stop();
        EXPECT_EQ(service.count("connection"), 1u) << "one connection for every request";
        EXPECT_EQ(service.count("request"), 5u + 40u);
    }
}

// What the client makes of each misbehaviour: the answer after one reconnect, or the failure the caller sees.
// A pipe that the failure left finished is noticed by the next request before anything is written.
TEST(ManagementService, MisbehavingServicesAreRetriedOnceOrReportedWithPipeAndRequest) {
    struct Case {
        const wchar_t* fault;
        const wchar_t* times;          // how many requests misbehave
        const wchar_t* failure;        // the caller's message, or null: the retry gets the value
        size_t requests;               // what the service saw
        const wchar_t* reconnectLine;  // text of the Info line before the reconnect, or null: no reconnect
        bool nextReplacesFinishedPipe = false;
    };
    const Case cases[] = {
        {L"close", L"1", nullptr, 2, L"communication error: Completed only 0 of 4 bytes"},
        {L"extra", L"1", nullptr, 2, L"bytes longer than its length"},
        {L"close", L"2", L"Completed only 0 of 4 bytes", 2, L"Completed only 0 of 4 bytes", true},
        {L"truncated", L"-1", L"Completed only", 2, L"Completed only"},
        {L"huge", L"-1", L"The reply length 2147483647 from pipe", 2, L"exceeds the limit of 16777216 bytes"},
        {L"stall", L"-1", L"No reply from pipe", 2, L"within 500 ms: awaited a reply of"},
        {L"error=The service is busy", L"-1", L"The service is busy\n", 1, nullptr},
        {L"empty", L"-1", L"Unexpected end of data when read C-string from serializer.\n", 1, nullptr},
        {L"charsize", L"-1", L"Unsupported char size when read C-string from serializer.\n", 1, nullptr},
    };
    Con::shortenReplyTimeLimit(500);
    const std::shared_ptr<void> restore(nullptr, [](void*) { Con::shortenReplyTimeLimit(0); });
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(std::wstring(c.fault)));
        MgmtService service(withRoot({L"--fault", c.fault, L"--fault-count", c.times}));
        Connected connected(service);
        std::optional<CapturedLog> log(std::in_place);
        std::wstring value;
        const Failure failure = failureOf([&] { value = connected.client.getString(L"PRODUCT_ROOT_D"); });
        if (c.failure) {
            EXPECT_TRUE(failure.message.starts_with(c.failure)) << failure.message;
            EXPECT_TRUE(contains(failure.message, L"at Tarvo Management Service at pipe " + service.path() + L"("));
            EXPECT_TRUE(contains(failure.message, L"at getString(PRODUCT_ROOT_D)(TarvoSrvClient::getString line"));
        } else {
            EXPECT_EQ(failure.message, L"<no failure>");
            EXPECT_EQ(value, root);
        }
        EXPECT_EQ(countContaining(log->lines(), L"Info: Tarvo Management service pipe communication error: "),
                  c.reconnectLine ? 1u : 0u);
        EXPECT_EQ(anyContains(log->lines(), L". Trying to reconnect."), c.reconnectLine != nullptr);
        if (c.reconnectLine) {
            EXPECT_TRUE(anyContains(log->lines(), c.reconnectLine)) << ::testing::PrintToString(log->lines());
        }
        if (c.nextReplacesFinishedPipe) {
            log.emplace();
            EXPECT_EQ(connected.client.getString(L"PRODUCT_ROOT_D"), root);
            const std::vector<std::wstring> lines = log->lines();
            ASSERT_GE(lines.size(), 2u);
            EXPECT_EQ(lines[0], L"Warning: Connection to Tarvo Management Service is broken: Pipe is finished");
            EXPECT_TRUE(lines[1].starts_with(L"Info: Tarvo Management service pipe communication error: Pipe is "
                                             L"finished\n")) << ::testing::PrintToString(lines);
        }
        service.stop();
        // Nothing reached the service over the finished pipe.
        EXPECT_EQ(service.count("request"), c.requests + c.nextReplacesFinishedPipe);
        EXPECT_EQ(service.count("connection"), (c.reconnectLine ? 2u : 1u) + c.nextReplacesFinishedPipe);
    }
}

// One stand-in on the default pipe: the shared client finds it when none is configured; a private client
// refuses it before any request while only another account may serve (anyone may make the service's pipe
// while the service is down; under Wine the stand-in runs as the test's own user, which is accepted there in
// place of LocalSystem); and once it is down, the failure names the pipe and the request.
TEST(ManagementService, TheSharedClientUsesHvcpipeAndAServerNotLocalSystemOrDownIsReported) {
    ScopedConfigValue none(L"hvcpipe", std::nullopt);
    MgmtService service(withRoot(), MgmtService::Start::Listening, L"hvcpipe");
    TarvoSrvClient& shared = TarvoSrvClient::getInstance();
    EXPECT_EQ(&shared, &TarvoSrvClient::getInstance());
    EXPECT_EQ(shared.getString(L"PRODUCT_ROOT_D"), root);

    Con::acceptServerAccount(L"S-1-5-19");
    std::shared_ptr<void> restore(nullptr, [](void*) { Con::acceptServerAccount(L""); });
    std::wstring domain;
    std::wstring user = security::processUser().findAccount(&domain);
    if (!domain.empty()) user = domain + L"\\" + user;
    const Failure refused = failureOf([&] { Connected connected(service); });
    EXPECT_TRUE(refused.message.starts_with(L"The server of pipe " + service.path() + L" runs as " + user +
                                            L", not as LocalSystem"))
        << refused.message;
    restore.reset();

    Connected connected(service);
    ScopedTryCount once(1);
    service.stop();
    EXPECT_EQ(service.count("request"), 1u) << "only the shared client's";
    CapturedLog log;
    const Failure failure = failureOf([&] { connected.client.getString(L"PRODUCT_ROOT_D"); });
    EXPECT_TRUE(contains(failure.message, L"Unable to connect to pipe " + service.path())) << failure.message;
    EXPECT_TRUE(contains(failure.message, L"at getString(PRODUCT_ROOT_D)(TarvoSrvClient::getString")) << failure.message;
    EXPECT_EQ(countContaining(log.lines(), L"Trying to reconnect."), 1u);
    EXPECT_TRUE(contains(failureOf([] { TarvoSrvClient client(L"hvcpipe_test"); }).message,
                         L"Unable to connect to pipe " + service.path()));
}

TEST(ManagementService, RandomAndMutatedRepliesGiveOnlyDocumentedExceptions) {
    const std::uint32_t seed = ::testing::UnitTest::GetInstance()->random_seed() + ::GetTickCount();
    EXPECT_EQ(replyfuzz::runClient(seed, 300).failure, "") << "seed " << seed;
}

}  // namespace
