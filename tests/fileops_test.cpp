// File and folder operations on real files: long paths, sharing failures that name the holding process,
// retries, the recycler and piece-by-piece folder moves across two drives.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "runtime/errors/vexception.h"
#include "runtime/filesystem/fileops.h"
#include "runtime/filesystem/vfilename.h"
#include "tests/filetree.h"
#include "tests/heldfile.h"
#include "tests/msisession.h"
#include "tests/testutil.h"

namespace {

// Records the pauses between attempts instead of waiting; `onPause` sees the number of pauses so far.
class ScopedPause {
public:
    explicit ScopedPause(std::function<void(size_t)> onPause = {})
        : onPause_(std::move(onPause)), previous_(fileops_detail::setPause([this](DWORD ms) {
              delays.push_back(ms);
              if (onPause_) onPause_(delays.size());
          })) {}
    ~ScopedPause() { fileops_detail::setPause(previous_); }
    std::vector<DWORD> delays;

private:
    std::function<void(size_t)> onPause_;
    fileops_detail::PauseFunction previous_;
};

std::vector<std::wstring> recyclerItems(const std::wstring& recycler) {
    std::vector<std::wstring> names;
    VFileFinder finder;
    for (bool more = finder.first(recycler + L"\\*"); more; more = finder.next())
        if (!finder.isDots()) names.push_back(finder.name());
    return names;
}

class FileOps : public ::testing::Test {
protected:
    std::wstring dir = tempDirectory();
};

}  // namespace

// On paths of any length every operation works; each one that meets a file another process holds fails with
// 32 and names that process once, with its command line; the same failure caused by this process gives the
// plain message.
TEST_F(FileOps, EveryOperationWorksOnShortAndLongPathsAndSharingFailuresNameTheHolderOnce) {
    ScopedPause pauses;
    for (const std::wstring& root : {dir + L"\\short", longFolder(dir)}) {
        SCOPED_TRACE(root.size());
        const std::wstring folder = root + L"\\tree\\a\\b";
        VDirectory::createDirectory(folder + L"\\");
        const std::wstring one = folder + L"\\one.txt";
        VFile(one, GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL).writeAll("hello world");
        {
            VFile file(one, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
            EXPECT_EQ(file.size(), 11u);
            EXPECT_EQ(file.seek(6, FILE_BEGIN), 6u);
            EXPECT_EQ(file.readAll(), "world");
        }
        bool isDirectory = true;
        EXPECT_TRUE(fileExist(one, &isDirectory));
        EXPECT_FALSE(isDirectory);
        ASSERT_TRUE(::SetFileAttributesW(VFileName::toLongPath(one).c_str(), FILE_ATTRIBUTE_READONLY));
        EXPECT_TRUE(getFileAttributes(one) & FILE_ATTRIBUTE_READONLY);
        setFileAttributes(one, FILE_ATTRIBUTE_READONLY);
        EXPECT_FALSE(getFileAttributes(one) & FILE_ATTRIBUTE_READONLY);
        copyFile(one, folder + L"\\two.txt", true);
        EXPECT_EQ(failureOf([&] { copyFile(one, folder + L"\\two.txt", true); }).code, 80u);
        renameFile(folder + L"\\two.txt", folder + L"\\three.txt", 1);
        VFile::moveEx(folder + L"\\three.txt", folder + L"\\four.txt", 0);
        renameDir(root + L"\\tree\\a", root + L"\\tree\\c", false);
        EXPECT_EQ(readTree(root + L"\\tree"), (Tree{{L"c", folderMark}, {L"c\\b", folderMark},
                                                    {L"c\\b\\four.txt", "hello world"}, {L"c\\b\\one.txt", "hello world"}}));
        removeFile(root + L"\\tree\\c\\b\\one.txt", false, false, 0, 0);
        removeFile(root + L"\\tree\\c\\b\\four.txt", false, true, 0, 0);
        EXPECT_EQ(readTree(root + L"\\tree"), (Tree{{L"c", folderMark}, {L"c\\b", folderMark}}));
        removeDir(root + L"\\tree", false, recyclerPath(root));
        EXPECT_FALSE(fileExist(root + L"\\tree"));
        writeTree(root + L"\\tree", {{L"x.txt", "x"}, {L"y", folderMark}, {L"y\\z.txt", "z"}});
        VDirectory::remove(root + L"\\tree", false, false);
        EXPECT_FALSE(fileExist(root + L"\\tree"));

        const std::wstring file = folder + L"\\held.txt", other = root + L"\\other.txt";
        writeTree(folder, {{L"held.txt", "held"}});
        const std::wstring recycler = recyclerPath(folder);
        const struct {
            std::function<void()> run;
            std::wstring text;       // before ". Processes: " when the holder is another process
            std::wstring plainText;  // when it is this process, if it differs
        } operations[] = {
            {[&] { copyFile(file, other, false); }, L"Copy file '" + file + L"' to '" + other + L"'",
             L"copy file " + file + L" to " + other},
            {[&] { renameFile(file, other, 3); }, L"Rename file '" + file + L"' to '" + other + L"'", {}},
            {[&] { VFile::moveEx(file, other, 0); }, L"Move file '" + file + L"' to '" + other + L"'", {}},
            {[&] { removeFile(file, false, false, 1, 5); }, L"DeleteFile '" + file + L"'", {}},
            {[&] { VFile(file, GENERIC_READ, 0, OPEN_EXISTING, 0); }, L"Open file '" + file + L"'", {}},
            {[&] { removeDir(folder, false, L""); }, L"Delete file '" + file + L"'", {}},
            {[&] { removeDir(folder, false, recycler); }, L"Move file '" + file + L"' to '" + recycler + L"\\{", {}},
        };
        for (const bool byThisProcess : {false, true}) {
            HeldFile helper(L"-", {VFileName::toLongPath(file)});
            ASSERT_TRUE(helper.ready()) << helper.status();
            tarvo::unique_file own;
            if (byThisProcess) {
                helper.release();
                own.reset(::CreateFileW(VFileName::toLongPath(file).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                        0, nullptr));
                ASSERT_TRUE(own);
            }
            for (const auto& operation : operations) {
                const Failure failure = failureOf(operation.run);
                EXPECT_EQ(failure.code, 32u) << failure.message;
                const std::wstring plain = operation.plainText.empty() ? operation.text : operation.plainText;
                EXPECT_TRUE(contains(failure.message, byThisProcess ? L"(Error code 32) at " + plain : operation.text))
                    << failure.message;
                EXPECT_EQ(occurrences(failure.message, L". Processes: " + helper.listed()), byThisProcess ? 0u : 1u);
                EXPECT_EQ(occurrences(failure.message, L"PID("), byThisProcess ? 0u : 1u) << failure.message;
            }
        }
        EXPECT_EQ(readTree(folder), (Tree{{L"held.txt", "held"}}));
    }
    EXPECT_EQ(std::count(pauses.delays.begin(), pauses.delays.end(), 100u), 2 * 2 * 2);  // renameFile: 3 attempts
}

TEST_F(FileOps, RemoveFileAttemptsOncePlusForcePlusRetries) {
    const std::wstring file = dir + L"\\f.txt";
    enum Setup { Locked, ReadOnly, Missing, ReleasedAtSecondPause };
    const struct {
        const char* name;
        Setup setup;
        bool force;
        bool recycler;
        int retries;
        DWORD code;  // 0: removed
        size_t pauses;
    } cases[] = {
        {"locked", Locked, false, false, 3, 32, 3},
        {"locked, forced", Locked, true, false, 3, 32, 3},
        {"locked, into the recycler", Locked, false, true, 1, 32, 1},
        {"read-only", ReadOnly, false, false, 2, 5, 2},
        {"read-only, forced: the forced attempt removes it", ReadOnly, true, false, 2, 0, 0},
        {"missing", Missing, false, false, 3, 0, 0},
        {"released while waiting", ReleasedAtSecondPause, false, false, 3, 0, 2},
    };
    for (const auto& c : cases) {
        if (c.setup != Missing) writeTree(dir, {{L"f.txt", "x"}});
        if (c.setup == ReadOnly) ::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY);
        std::optional<HeldFile> helper;
        if (c.setup == Locked || c.setup == ReleasedAtSecondPause) {
            helper.emplace(L"-", std::vector<std::wstring>{file});
            ASSERT_TRUE(helper->ready()) << helper->status();
        }
        ScopedPause pauses([&](size_t count) {
            if (c.setup == ReleasedAtSecondPause && count == 2) helper->release();
        });
        const Failure failure = failureOf([&] { removeFile(file, c.force, c.recycler, c.retries, 400); });
        EXPECT_EQ(failure.code, c.code) << c.name << ": " << failure.message;
        EXPECT_EQ(pauses.delays, std::vector<DWORD>(c.pauses, 400u)) << c.name;
        EXPECT_EQ(fileExist(file), c.code != 0) << c.name;
        if (c.code == 32) {
            EXPECT_TRUE(contains(failure.message, (c.recycler ? L"Move file '" : L"DeleteFile '") + file))
                << failure.message;
            EXPECT_EQ(occurrences(failure.message, helper->listed()), 1u) << failure.message;
        }
        helper.reset();
        ::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(file.c_str());
    }
}

// Through the recycler an item that cannot be deleted yet, a read-only file without force or a file still
// open after its move, stays there and the removal succeeds; without it the first such file fails it.
TEST_F(FileOps, RemoveDirWithAndWithoutTheRecycler) {
    const std::wstring root = dir + L"\\tree";
    const std::wstring recycler = recyclerPath(dir);
    const Tree content = {{L"a.txt", "a"},           {L"ro.txt", "read-only"},       {L"sub", folderMark},
                          {L"sub\\b.txt", "b"},      {L"sub\\deep", folderMark},     {L"sub\\deep\\c.txt", "c"},
                          {L"empty", folderMark}};
    const struct {
        bool recycler;
        bool force;
        bool heldOpen;  // sub\b.txt, by a process that lets it be moved and deleted
        DWORD code;     // 0: removed
        const char* left;  // what stays in the recycler
    } cases[] = {
        {false, false, false, 5, nullptr},
        {false, true, false, 0, nullptr},
        {true, false, false, 0, "read-only"},
        {true, true, false, 0, nullptr},
        {true, true, true, 0, "b"},
    };
    for (const auto& c : cases) {
        writeTree(root, content);
        ::SetFileAttributesW((root + L"\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
        std::optional<HeldFile> helper;
        if (c.heldOpen) helper.emplace(L"rwd", std::vector<std::wstring>{root + L"\\sub\\b.txt"});
        ASSERT_TRUE(!helper || helper->ready()) << helper->status();
        const std::vector<std::wstring> before = recyclerItems(recycler);
        const Failure failure = failureOf([&] { removeDir(root, c.force, c.recycler ? recycler : L""); });
        EXPECT_EQ(failure.code, c.code) << failure.message;
        EXPECT_EQ(fileExist(root), c.code != 0);
        EXPECT_EQ(contains(failure.message, L"Delete file '" + root + L"\\ro.txt'"), c.code == 5) << failure.message;
        std::vector<std::wstring> left = recyclerItems(recycler);
        std::erase_if(left, [&](const std::wstring& name) { return std::count(before.begin(), before.end(), name); });
        ASSERT_EQ(left.size(), c.left ? 1u : 0u) << c.recycler << c.force << c.heldOpen;
        for (const std::wstring& name : left) EXPECT_EQ(readBytes(recycler + L"\\" + name), c.left);
        helper.reset();
        for (const std::wstring& name : left) removeFile(recycler + L"\\" + name, true, false, 0, 0);
        if (fileExist(root)) removeDir(root, true, L"");
    }
}

// createDirectory leaves an existing file, drops a trailing separator and makes every missing level; a missing
// path is no failure to fileExist, but is one to getFileAttributes.
TEST_F(FileOps, FoldersAreMadeLevelByLevelAndMissingPathsAreNoFolders) {
    writeTree(dir, {{L"file", "f"}});
    VDirectory::createDirectory(dir + L"\\file");
    EXPECT_EQ(readBytes(dir + L"\\file"), "f");
    VDirectory::createDirectory(dir + L"/x/y\\z\\\\");
    EXPECT_TRUE(VDirectory::exists(dir + L"\\x\\y\\z"));
    EXPECT_TRUE(contains(failureOf([] { VDirectory::createDirectory(L""); }).message,
                         L"Unable to create directory with wrong name"));
    EXPECT_NE(failureOf([&] { VDirectory::createDirectory(dir + L"\\file\\below"); }).code, 0u);
    EXPECT_FALSE(fileExist(dir + L"\\missing\\below"));
    EXPECT_FALSE(VDirectory::exists(L""));
    bool isFile = false;
    EXPECT_TRUE(VDirectory::exists(dir + L"\\file", &isFile));
    EXPECT_TRUE(isFile);
    EXPECT_TRUE(contains(failureOf([&] { getFileAttributes(dir + L"\\missing"); }).message,
                         L"GetFileAttributes(" + dir + L"\\missing)"));
    EXPECT_FALSE(VFileFinder().first(dir + L"\\missing\\*"));
    EXPECT_EQ(readTree(dir),
              (Tree{{L"file", "f"}, {L"x", folderMark}, {L"x\\y", folderMark}, {L"x\\y\\z", folderMark}}));
}

// T: is a drive on another file system (tools/wine-env.sh maps it to a folder in /dev/shm): no folder moves
// there in one step.
TEST_F(FileOps, RenameDirAcrossDrivesMovesPieceByPieceAndPutsEverythingBackOnFailure) {
    const std::wstring drive = L"T:\\tarvo-" + std::to_wstring(::GetCurrentProcessId());
    if (!::CreateDirectoryW(drive.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS)
        GTEST_SKIP() << "no second drive T: (tools/wine-env.sh maps it)";
    VDirectory::createDirectory(dir + L"\\probe");
    if (::MoveFileExW((dir + L"\\probe").c_str(), (drive + L"\\probe").c_str(), 0))
        GTEST_SKIP() << "T: is on the same file system: folders move there in one step";
    const Tree content = {
        {L"a1.txt", "1"},      {L"a2.txt", "2"},          {L"empty", folderMark},          {L"sub", folderMark},
        {L"sub\\a.txt", "a"},  {L"sub\\deeper", folderMark}, {L"sub\\deeper\\d.txt", "d"}, {L"sub\\m.txt", "m"},
        {L"sub\\z.txt", "z"}};
    const std::wstring source = dir + L"\\src";
    const std::wstring target = drive + L"\\moved\\dst";
    for (const std::wstring& from : {longFolder(dir) + L"\\src", source}) {
        writeTree(from, content);
        CapturedLog log;
        renameDir(from, target, false);
        EXPECT_EQ(countContaining(log.lines(), L"Warning: "), 0u);  // security and all copied without a hitch
        EXPECT_EQ(readTree(target), content);
        EXPECT_FALSE(fileExist(from));
        renameDir(target, from, false);
        EXPECT_EQ(readTree(from), content);
        EXPECT_FALSE(fileExist(target));
    }

    HeldFile helper(L"-", {source + L"\\sub\\m.txt"});
    ASSERT_TRUE(helper.ready()) << helper.status();
    std::vector<std::wstring> movedBeforeTheLock;
    ScopedPause pauses([&](size_t count) {
        if (count == 1)
            for (const auto& entry : readTree(target)) movedBeforeTheLock.push_back(entry.first);
    });
    const Failure failure = failureOf([&] { renameDir(source, target, false); });
    EXPECT_TRUE(contains(failure.message, L"Rename file '" + source + L"\\sub\\m.txt' to '" + target +
                                              L"\\sub\\m.txt'. Processes: " + helper.listed()))
        << failure.message;
    EXPECT_EQ(occurrences(failure.message, L"PID("), 1u);
    EXPECT_TRUE(contains(failure.message, L"RenameDir('" + source + L"', '" + target + L"')")) << failure.message;
    EXPECT_EQ(pauses.delays, std::vector<DWORD>(99, 100u));
    EXPECT_EQ(movedBeforeTheLock, (std::vector<std::wstring>{L"a1.txt", L"a2.txt", L"empty", L"sub", L"sub\\a.txt",
                                                             L"sub\\deeper", L"sub\\deeper\\d.txt"}));
    helper.release();
    EXPECT_EQ(readTree(source), content);
    EXPECT_FALSE(fileExist(target));

    // A piece that cannot be put back keeps the target folder: nothing that was moved is deleted.
    HeldFile lockedAgain(L"-", {source + L"\\sub\\m.txt"});
    std::optional<HeldFile> movedAndHeld;
    ScopedPause holdAMovedPiece([&](size_t count) {
        if (count == 1) movedAndHeld.emplace(L"-", std::vector<std::wstring>{target + L"\\a1.txt"});
    });
    CapturedLog log;
    EXPECT_TRUE(contains(failureOf([&] { renameDir(source, target, false); }).message, L"sub\\m.txt'. Processes: "));
    EXPECT_EQ(countContaining(log.lines(), L"Warning: The folder " + target + L" keeps what could not be put back"), 1u);
    movedAndHeld.reset();
    lockedAgain.release();
    EXPECT_EQ(readTree(target), (Tree{{L"a1.txt", "1"}}));
    Tree rest = content;
    rest.erase(L"a1.txt");
    EXPECT_EQ(readTree(source), rest);
    removeDir(drive, true, L"");
}

TEST_F(FileOps, RenameDirIntoItselfOrOntoWhatExists) {
    const std::wstring source = dir + L"\\src";
    writeTree(source, {{L"f.txt", "f"}, {L"inner", folderMark}});
    // Into a folder inside itself: the files go there; that folder and the source stay.
    renameDir(source, source + L"\\inner\\target", false);
    EXPECT_EQ(readTree(source), (Tree{
                                {L"inner", folderMark}, {L"inner\\target", folderMark}, {L"inner\\target\\f.txt", "f"}}));

    writeTree(dir, {{L"other\\g.txt", "g"}, {L"file.txt", "x"}});
    EXPECT_TRUE(contains(failureOf([&] { renameDir(dir + L"\\other", source, false); }).message,
                         L"Directory " + source + L" already exists"));
    EXPECT_TRUE(contains(failureOf([&] { renameDir(dir + L"\\other", dir + L"\\file.txt", true); }).message,
                         L"File " + dir + L"\\file.txt already exists"));
    // With overwrite the pieces join the folder that is there.
    renameDir(dir + L"\\other", source, true);
    EXPECT_FALSE(fileExist(dir + L"\\other"));
    EXPECT_EQ(readBytes(source + L"\\g.txt"), "g");
}
