// The search for the processes that hold a file, against real helper processes.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
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

// The search's limits, or how it resolves a handle, replaced while the object lives.
template <typename Value, auto set>
struct ScopedSetting {
    explicit ScopedSetting(Value value) : previous(set(std::move(value))) {}
    ~ScopedSetting() { set(previous); }
    Value previous;
};
using ScopedLimits = ScopedSetting<lockers_detail::Limits, lockers_detail::setLimits>;
using ScopedResolver = ScopedSetting<lockers_detail::Resolver, lockers_detail::setResolver>;

// A file in a fresh folder, held by a helper process.
class Lockers : public ::testing::Test {
protected:
    void SetUp() override { writeBytes(file, "x"); }
    std::wstring dir = tempDirectory();
    std::wstring file = dir + L"\\held file.txt";
};

}  // namespace

// The helper holds one file twice and is listed once, with its command line, through either form of the handle
// table; this process holds the long file too, and its own handles never count.
TEST_F(Lockers, AHelperIsListedOnceForItsOwnPathsAndEveryFolderAboveThemAtAnyLength) {
    ::CreateDirectoryW((dir + L"\\sub").c_str(), nullptr);
    const std::wstring inner = dir + L"\\sub\\inner file.txt";
    writeBytes(inner, "x");
    writeBytes(dir + L"\\sub\\other.txt", "y");
    const std::wstring folder = longFolder(dir);
    const std::wstring longFile = folder + L"\\long.txt";
    ASSERT_GT(longFile.size(), 300u);
    const tarvo::unique_file own(::CreateFileW(VFileName::toLongPath(longFile).c_str(), GENERIC_WRITE, FILE_SHARE_READ |
                                               FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(own);
    EXPECT_EQ(RunTime::GetFilePathByHandle(own.get()), longFile);
    HeldFile helper(L"rw", {inner, inner, VFileName::toLongPath(longFile)});
    ASSERT_TRUE(helper.ready()) << helper.status();
    std::wstring upper = dir + L"/SUB/";
    for (wchar_t& c : upper) c = static_cast<wchar_t>(::towupper(c));
    const std::pair<std::wstring, bool> cases[] = {
        {inner, true},
        {dir + L"\\sub", true},
        {upper, true},  // case, separators and a trailing one do not matter
        {L"\\\\?\\" + dir + L"\\sub\\inner file.txt", true},
        {dir + L"\\sub\\.\\..\\sub\\inner file.txt", true},
        {longFile, true},
        {folder, true},
        {dir + L"\\sub\\other.txt", false},
        {dir + L"\\su", false},
        {dir + L"\\sub\\inner file.txt\\deeper", false},
    };
    for (const auto& [searched, listed] : cases)
        EXPECT_EQ(RunTime::processesHoldingFile(searched), listed ? Listing{helper.listed()} : Listing{}) << searched;
    // One search for several paths lists the process once, in the legacy form of the table as well.
    EXPECT_EQ(RunTime::getProccessesByOpenedFiles({dir, inner, dir + L"\\nothing"}), Listing{helper.listed()});
    lockers_detail::forceLegacyHandleTable(true);
    EXPECT_EQ(RunTime::getProccessesByOpenedFiles({inner, longFile}), Listing{helper.listed()});
    lockers_detail::forceLegacyHandleTable(false);
    helper.release();
    EXPECT_EQ(RunTime::processesHoldingFile(inner), Listing{});

    HANDLE read = nullptr, write = nullptr;  // no disk path at all
    ASSERT_TRUE(::CreatePipe(&read, &write, nullptr, 0));
    const tarvo::unique_handle readEnd(read), writeEnd(write);
    bool abandoned = true;
    EXPECT_EQ(RunTime::GetFilePathByHandle(readEnd.get(), &abandoned), L"");
    EXPECT_FALSE(abandoned);
}

// A resolution that blocks is cancelled after the handle's time limit; a worker that is still stuck then is
// terminated, and the search goes on with a new one. Many stuck handles end the whole search at its limit.
TEST_F(Lockers, AStuckResolutionIsCancelledAndTerminatedOnlyWhenStillStuck) {
    HeldFile helper(L"-", {file});
    ASSERT_TRUE(helper.ready()) << helper.status();
    HANDLE pipeRead = nullptr, pipeWrite = nullptr;
    ASSERT_TRUE(::CreatePipe(&pipeRead, &pipeWrite, nullptr, 0));
    const tarvo::unique_handle readEnd(pipeRead), writeEnd(pipeWrite);
    const tarvo::unique_handle never(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const struct {
        const char* name;
        std::function<void()> block;
        bool always;         // every resolution blocks, not only the first
        bool terminated;
    } cases[] = {
        {"synchronous read", [&] { char c; DWORD got; ::ReadFile(readEnd.get(), &c, 1, &got, nullptr); }, false, false},
        {"plain wait", [&] { ::WaitForSingleObject(never.get(), INFINITE); }, false, true},
        {"every wait", [&] { ::WaitForSingleObject(never.get(), INFINITE); }, true, true},
    };
    for (const auto& c : cases) {
        // A cancelled worker that is not to be terminated gets time to end on a busy machine.
        ScopedLimits limits(c.always       ? lockers_detail::Limits{20, 20, 300}
                            : c.terminated ? lockers_detail::Limits{100, 200, 60000}
                                           : lockers_detail::Limits{100, 2000, 60000});
        std::atomic<int> calls{0};
        ScopedResolver resolver([&](HANDLE handle) {
            if (calls++ == 0 || c.always) c.block();
            return lockers_detail::resolveDiskPath(handle);
        });
        CapturedLog log;
        EXPECT_EQ(RunTime::processesHoldingFile(file), c.always ? Listing{} : Listing{helper.listed()}) << c.name;
        EXPECT_EQ(countContaining(log.lines(), L"stopped after 300 ms"), c.always ? 1u : 0u) << c.name;
        if (c.always) continue;
        EXPECT_EQ(countContaining(log.lines(), L"Cancel the blocked call of the handle path resolving thread"), 1u)
            << c.name;
        EXPECT_EQ(countContaining(log.lines(), L"Terminate handle path resolving thread"), c.terminated ? 1u : 0u)
            << c.name;
    }
}

TEST_F(Lockers, CommandLineOfAProcessOfTheOtherWidth) {
    if (const std::string reason = otherWidthSkipReason(); !reason.empty()) GTEST_SKIP() << reason;
    HeldFile helper(L"rw", {file}, holdFileProgram(true));
    ASSERT_TRUE(helper.ready()) << helper.status();
    const tarvo::unique_handle process(::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, helper.pid()));
    ASSERT_TRUE(process);
    BOOL selfWow64 = FALSE;
    ::IsWow64Process(::GetCurrentProcess(), &selfWow64);
    if (selfWow64 && !::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtWow64QueryInformationProcess64")) {
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
