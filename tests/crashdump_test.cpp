// Hardware exceptions turned into failures, crash dumps and their pruning: the translator on its own, and
// faulting actions in real installer sessions run by this program's copy of the library (the only one with the
// test-only "TestFault" type; the product DLL has none).
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <thread>

#include "engine/stagerunner.h"
#include "engine/stages.h"
#include "runtime/crashdump/crashdump.h"
#include "runtime/crashdump/setranslator.h"
#include "runtime/errors/vexception.h"
#include "runtime/security/security.h"
#include "tests/faultaction.h"
#include "tests/msisession.h"
#include "tests/testutil.h"

namespace {

namespace fs = std::filesystem;

std::vector<std::wstring> namesIn(const std::wstring& folder) {
    std::vector<std::wstring> names;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, error)) names.push_back(entry.path().filename().wstring());
    std::sort(names.begin(), names.end());
    return names;
}

void setLastWrite(const std::wstring& path, ULONGLONG time) {
    HANDLE file = ::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    const FILETIME written{static_cast<DWORD>(time), static_cast<DWORD>(time >> 32)};
    ::SetFileTime(file, nullptr, nullptr, &written);
    ::CloseHandle(file);
}

// The crash-dump settings of this program's library, loaded afresh over a product root of the test's own.
class CrashDumps : public ::testing::Test {
protected:
    void SetUp() override { reload(); }
    void TearDown() override {
        CrashDumpInfo::unload();
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
    static void reload() {
        CrashDumpInfo::unload();
        CrashDumpInfo::load();
    }
    // Dumps hold secrets: only LocalSystem and the Administrators may read them. Wine 8 keeps a file's access
    // list as Unix mode bits: it shows the entries given at creation as LocalSystem and the owner, but without
    // them as Everyone too.
    static void expectProtected(const std::wstring& path) {
        std::wstring sids;
        for (const security::AclEntry& entry :
             security::readAcl(reinterpret_cast<const ACL*>(security::getObjectDacl(path, SE_FILE_OBJECT).data())))
            sids += entry.sid.toString() + L" ";
        if (runningUnderWine())
            EXPECT_EQ(sids, L"S-1-5-18 " + security::processUser().toString() + L" ") << path;
        else
            EXPECT_EQ(sids, L"S-1-5-18 S-1-5-32-544 ") << path;
    }
    std::wstring dumpFolder() const { return root + L"\\etc\\crashdumps"; }

    std::wstring root = tempDirectory();
    ScopedConfigValue productRoot{L"PRODUCT_ROOT_D", root};
    ScopedConfigValue enabled{L"CrashDumpsEnabled", std::nullopt};
    ScopedConfigValue location{L"CrashDumpsLocation", std::nullopt};
    ScopedConfigValue maxCount{L"CrashDumpsMaxCount", std::nullopt};
};

}  // namespace

TEST_F(CrashDumps, ANameTakenInTheSameSecondGetsACounter) {
    CrashDumpInfo& info = *CrashDumpInfo::loaded();
    for (int attempt = 0; attempt < 3; ++attempt) {  // again if the clock passed a second in between
        std::vector<std::wstring> names;
        for (int i = 0; i < 3; ++i) {
            names.push_back(info.getFileName());
            writeBytes(names.back(), "taken");
        }
        const std::wstring first = names[0].substr(0, names[0].size() - 4);
        if (names[2].rfind(first, 0) != 0) {  // the names of a failed attempt would push the next one's counters
            for (const std::wstring& name : names) fs::remove(name);
            continue;
        }
        EXPECT_EQ(names, (std::vector<std::wstring>{first + L".dmp", first + L"_1.dmp", first + L"_2.dmp"}));
        return;
    }
    FAIL() << "three names were never taken within one second";
}

// The msiexec scenario shows a fault with dumps on; off, the fault is still an action's failure.
TEST_F(CrashDumps, WithDumpsOffThereIsNoFolderNorHandlerAndACriticalFaultStillFailsTheStage) {
    const std::wstring otherRoot = root + L"\\off";
    fs::create_directory(otherRoot);
    MsiSession package;
    for (const auto& [enabledSetting, productRootSetting] : {std::pair{std::optional<DWORD>(0), otherRoot},
                                                             {std::nullopt, std::wstring()}}) {
        SCOPED_TRACE(enabledSetting ? "CrashDumpsEnabled = 0" : "PRODUCT_ROOT_D empty");
        const ScopedConfigValue enabledValue(L"CrashDumpsEnabled", enabledSetting);
        const ScopedConfigValue rootValue(L"PRODUCT_ROOT_D", productRootSetting);
        reload();
        const CrashDumpInfo& info = *CrashDumpInfo::loaded();
        EXPECT_FALSE(info.enabled());
        EXPECT_FALSE(info.hasHeapCorruptionHandler());
        EXPECT_THROW(CrashDumpInfo::loaded()->getFileName(), vexception);

        package.clearMessages();
        package.setProperty(L"Action_OnStagePostinstall", scriptXml(actionXml(L"TestFault", L"AccessViolation", L"Bad")));
        EXPECT_EQ(_ExecuteActionScript(package.handle(), stage::postinstall.title, stage::postinstall.scriptProperty),
                  1603u);
        const std::vector<std::wstring> errors = package.texts(kError);
        ASSERT_EQ(errors.size(), 1u);
        // Its frames are those of any failure (the engine's table, the msiexec crash scenario).
        EXPECT_TRUE(errors[0].starts_with(L"Critical action 'Bad' failed:\nC structured exception: 0xc0000005\n"))
            << errors[0];
        EXPECT_EQ(countContaining(package.texts(kInfo), faultFrameUnwound), 1u);
        EXPECT_FALSE(fs::exists(otherRoot + L"\\etc"));
    }
}

TEST_F(CrashDumps, UnloadingKeepsTheNewestDumpsAndNeverTouchesFoldersOrHeldOnes) {
    const std::wstring folder = root + L"\\configured\\nested\\dumps";
    ScopedConfigValue configured(L"CrashDumpsLocation", folder);
    reload();
    ASSERT_TRUE(fs::is_directory(folder));  // made with its parents
    const ULONGLONG hour = 36000000000ull, base = 133000000000000000ull;
    const auto add = [&](const std::wstring& name, int age) {
        writeBytes(folder + L"\\" + name, "dump");
        setLastWrite(folder + L"\\" + name, base + age * hour);
    };
    // Twelve dumps whose names sort otherwise than their ages and a folder named like one (the msiexec crash
    // scenario leaves an archive alone).
    std::vector<std::wstring> expected;
    const auto dumpName = [](int age) { return L"d" + std::to_wstring((age * 7) % 12) + (age % 2 ? L".dmp" : L".DMP"); };
    for (int age = 0; age < 12; ++age) {
        add(dumpName(age), age);
        if (age >= 2) expected.push_back(dumpName(age));
    }
    fs::create_directory(folder + L"\\folder.dmp");
    setLastWrite(folder + L"\\folder.dmp", base - 240 * hour);
    expected.push_back(L"folder.dmp");
    std::sort(expected.begin(), expected.end());
    CrashDumpInfo::unload();
    EXPECT_EQ(namesIn(folder), expected);

    // Two more make twelve again; the oldest is held open by another program: it stays, and no newer one goes
    // in its place.
    reload();
    expectProtected(folder + L"\\" + dumpName(11));  // a dump that was there is set to the dumps' access list
    add(L"e12.dmp", 12);
    add(L"e13.dmp", 13);
    HANDLE held = ::CreateFileW((folder + L"\\" + dumpName(2)).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    CrashDumpInfo::unload();
    ::CloseHandle(held);
    expected.erase(std::find(expected.begin(), expected.end(), dumpName(3)));
    expected.insert(expected.end(), {L"e12.dmp", L"e13.dmp"});
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(namesIn(folder), expected);
    // Released, it goes at the next unload: a single dump over the limit is pruned too.
    reload();
    CrashDumpInfo::unload();
    expected.erase(std::find(expected.begin(), expected.end(), dumpName(2)));
    EXPECT_EQ(namesIn(folder), expected);
}

namespace {

std::vector<DWORD> reachedLast;

// The last handler of the search: takes the two codes that the test raises.
LONG CALLBACK takeTestCodes(EXCEPTION_POINTERS* pointers) {
    const DWORD code = pointers->ExceptionRecord->ExceptionCode;
    if (code != 0xC0000374 && code != 0xE0000001) return EXCEPTION_CONTINUE_SEARCH;
    reachedLast.push_back(code);
    return EXCEPTION_CONTINUE_EXECUTION;
}

DWORD WINAPI raiseHeapCorruption(void*) {
    ::RaiseException(0xC0000374, 0, 0, nullptr);
    return 0;
}

}  // namespace

TEST_F(CrashDumps, HeapCorruptionIsDumpedAndTheSearchGoesOn) {
    reachedLast.clear();
    void* last = ::AddVectoredExceptionHandler(0, &takeTestCodes);
    {
        const ScopedSeTranslator translated;  // neither is a hardware fault: neither is translated
        ::RaiseException(0xC0000374, 0, 0, nullptr);
        ::RaiseException(0xE0000001, 0, 0, nullptr);
        // One dump, of the folder's and the dumps' access list, named after the program.
        const std::vector<std::wstring> names = namesIn(dumpFolder());
        ASSERT_EQ(names.size(), 1u);
        EXPECT_TRUE(std::regex_match(names[0], std::wregex(L"tarvo_tests\\d{8}_\\d{6}\\.dmp"))) << names[0];
        EXPECT_EQ(readBytes(dumpFolder() + L"\\" + names[0]).substr(0, 4), "MDMP");
        expectProtected(dumpFolder());
        expectProtected(dumpFolder() + L"\\" + names[0]);
    }
    EXPECT_EQ(reachedLast, (std::vector<DWORD>{0xC0000374, 0xE0000001}));

    // A second corruption raised while the failure of the first dump is logged, on the same thread: no dump,
    // no wait for the thread's own lock; the search goes on (a real corruption then ends the process).
    reachedLast.clear();
    fs::remove_all(dumpFolder());  // the dump fails
    CapturedLog library;
    library.onMessage = [](const std::wstring& text) {
        if (contains(text, L"Unable to generate dump file") && reachedLast.empty()) ::RaiseException(0xC0000374, 0, 0, nullptr);
    };
    const tarvo::unique_handle corrupting(::CreateThread(nullptr, 0, &raiseHeapCorruption, nullptr, 0, nullptr));
    ASSERT_EQ(::WaitForSingleObject(corrupting.get(), 20000), WAIT_OBJECT_0) << "the handler waits for itself";
    ::RemoveVectoredExceptionHandler(last);
    EXPECT_EQ(reachedLast, (std::vector<DWORD>{0xC0000374, 0xC0000374}));
    EXPECT_EQ(countContaining(library.lines(), L"Unable to generate dump file"), 1u);
}

namespace {

// Whether the translator was given the fault's own record and context: the address of the one is where the
// other stopped.
thread_local bool faultRecorded = false;

void recordingTranslator(unsigned int code, EXCEPTION_POINTERS* pointers) {
#if defined(__x86_64__)
    const ULONG_PTR instruction = pointers->ContextRecord->Rip;
#else
    const ULONG_PTR instruction = pointers->ContextRecord->Eip;
#endif
    faultRecorded = pointers->ExceptionRecord->ExceptionCode == code &&
                    reinterpret_cast<ULONG_PTR>(pointers->ExceptionRecord->ExceptionAddress) == instruction;
    throw cwrpexception{code};
}

int* volatile nullTarget = nullptr;
volatile int zeroDivisor = 0;
volatile int faultSink = 0;

// A leaf (the stack as the call left it) and a frame of its own with a destructor to run.
__attribute__((noinline)) int divideLeaf(int value) { return value / zeroDivisor; }
__attribute__((noinline)) void writeInFrame(int& unwound) {
    struct Count {
        int& unwound;
        ~Count() { ++unwound; }
    } count{unwound};
    *nullTarget = faultSink;
}

// Faults many times in a row, alternating between a leaf function and a frame with a destructor: how many
// faults arrived as the right exception with their own record and context, and how many faulting frames unwound.
std::pair<int, int> faultRepeatedly() {
    int translated = 0, unwound = 0;
    for (int i = 0; i < 100; ++i) {
        faultRecorded = false;
        try {
            const ScopedSeTranslator translator(&recordingTranslator);
            if (i % 2)
                faultSink = divideLeaf(i);
            else
                writeInFrame(unwound);
        } catch (const cwrpexception& e) {
            if (e.code == (i % 2 ? EXCEPTION_INT_DIVIDE_BY_ZERO : EXCEPTION_ACCESS_VIOLATION) && faultRecorded)
                ++translated;
        }
    }
    return {translated, unwound};
}

}  // namespace

TEST(ErrorModel, HardwareFaultsBecomeExceptionsRepeatedlyOnAnyThread) {
    EXPECT_EQ(faultRepeatedly(), std::pair(100, 50));
    std::pair<int, int> onWorker;
    std::thread worker([&] { onWorker = faultRepeatedly(); });
    worker.join();
    EXPECT_EQ(onWorker, std::pair(100, 50));
    EXPECT_EQ(currentSeTranslator(), nullptr);  // every scope put the thread's translator back
}
