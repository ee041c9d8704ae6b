// The search for the processes that hold a file, against real helper processes.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "runtime/filesystem/lockers.h"
#include "runtime/filesystem/vfilename.h"
#include "runtime/holder.h"
#include "tests/filetree.h"
#include "tests/heldfile.h"
#include "tests/msisession.h"
#include "tests/testutil.h"

namespace {

using Listing = std::vector<std::wstring>;

class ScopedLimits {
public:
    explicit ScopedLimits(lockers_detail::Limits limits) : previous_(lockers_detail::setLimits(limits)) {}
    ~ScopedLimits() { lockers_detail::setLimits(previous_); }

private:
    lockers_detail::Limits previous_;
};

class ScopedResolver {
public:
    explicit ScopedResolver(lockers_detail::Resolver resolver)
        : previous_(lockers_detail::setResolver(std::move(resolver))) {}
    ~ScopedResolver() { lockers_detail::setResolver(previous_); }

private:
    lockers_detail::Resolver previous_;
};

class Lockers : public ::testing::Test {
protected:
    std::wstring dir = tempDirectory();
};

}  // namespace

TEST_F(Lockers, AHelperIsListedOnceWithItsCommandLineInEitherFormOfTheHandleTable) {
    const std::wstring file = dir + L"\\held file.txt";
    writeBytes(file, "content");
    // This process holds the file too: its own handles never count.
    const tarvo::unique_file own(::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                               OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(own);
    HeldFile helper(L"rw", {file, file});  // two handles, one entry
    ASSERT_TRUE(helper.ready()) << helper.status();
    for (const bool legacy : {false, true}) {
        lockers_detail::forceLegacyHandleTable(legacy);
        EXPECT_EQ(RunTime::processesHoldingFile(file), Listing{helper.listed()}) << "legacy table: " << legacy;
    }
    lockers_detail::forceLegacyHandleTable(false);
    helper.release();
    EXPECT_EQ(RunTime::processesHoldingFile(file), Listing{});
}

TEST_F(Lockers, AHandleMatchesItsOwnPathAndEveryFolderAboveIt) {
    ::CreateDirectoryW((dir + L"\\sub").c_str(), nullptr);
    const std::wstring file = dir + L"\\sub\\inner.txt";
    writeBytes(file, "x");
    writeBytes(dir + L"\\sub\\other.txt", "y");
    HeldFile helper(L"-", {file});
    ASSERT_TRUE(helper.ready()) << helper.status();
    std::wstring upper = dir + L"/SUB/";
    for (wchar_t& c : upper) c = static_cast<wchar_t>(::towupper(c));
    const struct {
        std::wstring searched;
        bool listed;
    } cases[] = {
        {file, true},
        {dir + L"\\sub", true},
        {dir, true},
        {upper, true},  // case, separators and a trailing one do not matter
        {L"\\\\?\\" + dir + L"\\sub\\inner.txt", true},
        {dir + L"\\sub\\.\\..\\sub\\inner.txt", true},
        {dir + L"\\sub\\other.txt", false},
        {dir + L"\\su", false},
        {dir + L"\\sub\\inner.txt\\deeper", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(RunTime::processesHoldingFile(c.searched), c.listed ? Listing{helper.listed()} : Listing{})
            << c.searched;
    // One search for several paths lists the process once.
    EXPECT_EQ(RunTime::getProccessesByOpenedFiles({dir, file, dir + L"\\nothing"}), Listing{helper.listed()});
}

TEST_F(Lockers, PathsLongerThanMaxPathAreResolvedAndMatched) {
    const std::wstring folder = longFolder(dir);
    const std::wstring file = folder + L"\\long.txt";
    ASSERT_GT(file.size(), 300u);
    const tarvo::unique_file own(::CreateFileW(VFileName::toLongPath(file).c_str(), GENERIC_WRITE, FILE_SHARE_READ |
                                               FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(own);
    EXPECT_EQ(RunTime::GetFilePathByHandle(own.get()), file);
    HeldFile helper(L"rw", {VFileName::toLongPath(file)});
    ASSERT_TRUE(helper.ready()) << helper.status();
    EXPECT_EQ(RunTime::processesHoldingFile(file), Listing{helper.listed()});
    EXPECT_EQ(RunTime::processesHoldingFile(folder), Listing{helper.listed()});
}

TEST_F(Lockers, HandlesWithoutADiskPathResolveToNothing) {
    HANDLE read = nullptr, write = nullptr;
    ASSERT_TRUE(::CreatePipe(&read, &write, nullptr, 0));
    const tarvo::unique_handle readEnd(read), writeEnd(write);
    bool abandoned = true;
    EXPECT_EQ(RunTime::GetFilePathByHandle(readEnd.get(), &abandoned), L"");
    EXPECT_FALSE(abandoned);
}

// A resolution that blocks is cancelled after the handle's time limit; a worker that is still stuck then is
// terminated, and the search goes on with a new one.
TEST_F(Lockers, AStuckResolutionIsCancelledAndTerminatedOnlyWhenStillStuck) {
    const std::wstring file = dir + L"\\held.txt";
    writeBytes(file, "x");
    HeldFile helper(L"-", {file});
    ASSERT_TRUE(helper.ready()) << helper.status();
    ScopedLimits limits({100, 200, 60000});
    HANDLE pipeRead = nullptr, pipeWrite = nullptr;
    ASSERT_TRUE(::CreatePipe(&pipeRead, &pipeWrite, nullptr, 0));
    const tarvo::unique_handle readEnd(pipeRead), writeEnd(pipeWrite);
    const tarvo::unique_handle never(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const struct {
        const char* name;
        std::function<void()> block;
        bool terminated;
    } cases[] = {
        {"synchronous read", [&] { char c; DWORD got; ::ReadFile(readEnd.get(), &c, 1, &got, nullptr); }, false},
        {"plain wait", [&] { ::WaitForSingleObject(never.get(), INFINITE); }, true},
    };
    for (const auto& c : cases) {
        std::atomic<int> calls{0};
        ScopedResolver resolver([&](HANDLE handle) {
            if (calls++ == 0) c.block();
            return lockers_detail::resolveDiskPath(handle);
        });
        CapturedLog log;
        EXPECT_EQ(RunTime::processesHoldingFile(file), Listing{helper.listed()}) << c.name;
        EXPECT_EQ(countContaining(log.lines(), L"Cancel the blocked call of the handle path resolving thread"), 1u)
            << c.name;
        EXPECT_EQ(countContaining(log.lines(), L"Terminate handle path resolving thread"), c.terminated ? 1u : 0u)
            << c.name;
    }
}

TEST_F(Lockers, ManyStuckHandlesEndTheSearchAtItsTimeLimit) {
    const std::wstring file = dir + L"\\held.txt";
    writeBytes(file, "x");
    HeldFile helper(L"-", {file});
    ASSERT_TRUE(helper.ready()) << helper.status();
    const tarvo::unique_handle never(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ScopedLimits limits({20, 20, 300});
    ScopedResolver resolver([&](HANDLE) -> std::wstring {
        ::WaitForSingleObject(never.get(), INFINITE);
        return {};
    });
    CapturedLog log;
    EXPECT_EQ(RunTime::processesHoldingFile(file), Listing{});
    EXPECT_EQ(countContaining(log.lines(), L"stopped after 300 ms"), 1u);
}

// Each width reads the command line of processes of its own width and, where the system lets it, of the
// other one.
void expectCommandLineRead(const std::wstring& dir, bool otherWidth) {
    const std::wstring file = dir + L"\\held.txt";
    writeBytes(file, "x");
    HeldFile helper(L"rw", {file}, holdFileProgram(otherWidth));
    ASSERT_TRUE(helper.ready()) << helper.status();
    const tarvo::unique_handle process(::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, helper.pid()));
    ASSERT_TRUE(process);
    BOOL selfWow64 = FALSE, targetWow64 = FALSE;
    ::IsWow64Process(::GetCurrentProcess(), &selfWow64);
    ::IsWow64Process(process.get(), &targetWow64);
    const bool reachable = ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtWow64QueryInformationProcess64");
    if (selfWow64 && !targetWow64 && !reachable) {
        // Wine's 32-bit ntdll lacks NtWow64QueryInformationProcess64 (Windows has it): the search then names the
        // process by its image.
        EXPECT_THROW(RunTime::processCommandLine(process.get()), vexception);
        const Listing listed = RunTime::processesHoldingFile(file);
        ASSERT_EQ(listed.size(), 1u);
        EXPECT_TRUE(contains(listed[0], L"tarvo_holdfile.exe'")) << listed[0];
        return;
    }
    EXPECT_EQ(RunTime::processCommandLine(process.get()), helper.commandLine());
    EXPECT_EQ(RunTime::processesHoldingFile(file), Listing{helper.listed()});
}

TEST_F(Lockers, CommandLineOfAProcessOfThisWidth) { expectCommandLineRead(dir, false); }

TEST_F(Lockers, CommandLineOfAProcessOfTheOtherWidth) {
    if (const std::string reason = otherWidthSkipReason(); !reason.empty()) GTEST_SKIP() << reason;
    expectCommandLineRead(dir, true);
}
