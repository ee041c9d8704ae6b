// CopyFile, BackupFolder and RestoreFolder through real installer sessions.
#include <gtest/gtest.h>

#include "actions/filecopy.h"

#include <algorithm>

#include "engine/executor.h"
#include "msi/vmsi.h"
#include "runtime/errors/codepage.h"
#include "runtime/filesystem/fileops.h"
#include "tests/filetree.h"
#include "tests/heldfile.h"
#include "tests/msisession.h"
#include "tests/testutil.h"

namespace {

class FolderActions : public ::testing::Test {
protected:
    // Runs the rows as one stage; the rows are gone afterwards, as after a real stage.
    UINT run(const std::vector<std::pair<const wchar_t*, std::wstring>>& rows) {
        ActionList actions;
        for (const auto& [type, parameters] : rows) actions.push_back(Action::CreateAction(type, parameters, type, true));
        return executeList(session, 5, actions, L"stage");
    }
    // The names in the test's folder.
    std::vector<std::wstring> names() const {
        std::vector<std::wstring> result;
        VFileFinder finder;
        for (bool more = finder.first(dir + L"\\*"); more; more = finder.next())
            if (!finder.isDots()) result.push_back(finder.name());
        std::sort(result.begin(), result.end());
        return result;
    }

    MsiSession package;
    vmsi session{package.handle()};
    std::wstring dir = tempDirectory();
    std::wstring site = dir + L"\\site";
    std::wstring backup = dir + L"\\site_upgrade.bak";
};

bool isFolderLink(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// A link to a folder: a directory symbolic link where the system makes one. Wine 8 makes none (the call
// reports success and nothing appears; junctions fail with error 50) but shows a Linux symbolic link to a
// folder as one, so there the link is made by the Linux ln, whose end Wine cannot wait for.
bool makeFolderLink(const std::wstring& link, const std::wstring& target) {
    ::CreateSymbolicLinkW(link.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY | 0x2 /* unprivileged */);
    using UnixName = char*(CDECL*)(LPCWSTR);
    const auto unixName = reinterpret_cast<UnixName>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!isFolderLink(link) && unixName) {
        const auto unixPath = [&](const std::wstring& path) {
            char* name = unixName(path.c_str());
            const std::string text = name ? name : "";
            ::HeapFree(::GetProcessHeap(), 0, name);
            return wstr(text, CP_UTF8);
        };
        PROCESS_INFORMATION process{};
        if (startProcess(L"Z:\\bin\\ln", L"/bin/ln -s \"" + unixPath(target) + L"\" \"" + unixPath(link) + L"\"", nullptr, nullptr,
                         process)) {
            ::CloseHandle(process.hThread);
            ::CloseHandle(process.hProcess);
        }
        for (int wait = 0; wait < 100 && !isFolderLink(link); ++wait) ::Sleep(50);
    }
    return isFolderLink(link);
}

}  // namespace

// CopyFile overwrites a target but makes no folder; a backup of a missing folder is empty; a restore without a
// backup touches nothing.
TEST_F(FolderActions, CopyFileAndRestoreFolderFailWithoutTouchingAnything) {
    writeBytes(dir + L"\\a.txt", "new");
    writeBytes(dir + L"\\b.txt", "old");
    EXPECT_EQ(run({{L"CopyFile", dir + L"\\a.txt,," + dir + L"\\b.txt"}}), 0u);
    EXPECT_EQ(readBytes(dir + L"\\b.txt"), "new");
    EXPECT_EQ(run({{L"CopyFile", dir + L"\\a.txt," + dir + L"\\none\\c.txt"}}), 1603u);
    EXPECT_FALSE(fileExist(dir + L"\\none"));
    ASSERT_EQ(run({{L"BackupFolder", site}}), 0u);
    EXPECT_EQ(readTree(backup), Tree{});
    ::RemoveDirectoryW(backup.c_str());
    writeTree(site, {{L"a.txt", "keep me"}});
    EXPECT_EQ(run({{L"RestoreFolder", site}}), 1603u);
    EXPECT_EQ(readTree(site), (Tree{{L"a.txt", "keep me"}}));
    const std::vector<std::wstring> errors = package.texts(kError);
    EXPECT_TRUE(anyContains(errors, L"(Error code 3) at copy file " + dir + L"\\a.txt to " + dir + L"\\none\\c.txt"))
        << package.log();
    EXPECT_TRUE(anyContains(errors, L"Cannot restore folder " + site + L": its backup folder " + backup +
                                        L" does not exist"));
}

// A backup is made anew beside the folder, whatever separators end its name; a restore gives the emptied folder
// the backup in one rename. A thousand files, half of them at paths longer than MAX_PATH, come back byte for byte.
TEST_F(FolderActions, ABackupIsMadeAnewBesideTheFolderAndRestoredInOneRename) {
    writeTree(site, {{L"a.txt", "a1"}, {L"sub", folderMark}, {L"sub\\b.txt", "b1"}, {L"empty", folderMark}});
    ASSERT_EQ(run({{L"BackupFolder", site}}), 0u);
    removeDir(site, false, L"");
    std::wstring deep;
    for (int level = 0; level < 6; ++level) deep += L"level-" + std::to_wstring(level) + L"-" + std::wstring(40, 'd') + L"\\";
    Tree tree;
    for (int i = 0; i < 1000; ++i)
        tree[(i % 2 ? deep : L"") + L"folder" + std::to_wstring(i % 10) + L"\\file" + std::to_wstring(i) + L".txt"] =
            std::string(static_cast<size_t>(i % 7) * 100, static_cast<char>('a' + i % 26));
    writeTree(site, tree);
    const Tree original = readTree(site);
    ASSERT_GT((site + L"\\" + deep).size(), 300u);
    ASSERT_EQ(run({{L"BackupFolder", site + L"\\\\"}}), 0u);
    EXPECT_TRUE(readTree(backup) == original) << "nothing of the first backup is mixed in";
    EXPECT_EQ(names(), (std::vector<std::wstring>{L"site", L"site_upgrade.bak"})) << "no previous backup kept aside";

    writeTree(site, {{deep + L"folder1\\file1.txt", "changed"}, {L"extra.txt", "added"}});
    removeFile(site + L"\\folder0\\file0.txt", false, false, 0, 0);
    BY_HANDLE_FILE_INFORMATION inBackup{}, restored{};
    const auto identify = [](const std::wstring& path, BY_HANDLE_FILE_INFORMATION& info) {
        const tarvo::unique_file file(::CreateFileW(path.c_str(), 0, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        return ::GetFileInformationByHandle(file.get(), &info) != FALSE;
    };
    ASSERT_TRUE(identify(backup + L"\\folder2\\file2.txt", inBackup));
    ASSERT_EQ(run({{L"RestoreFolder", site + L"\\"}}), 0u);
    EXPECT_TRUE(readTree(site) == original);
    EXPECT_EQ(names(), std::vector<std::wstring>{L"site"});
    ASSERT_TRUE(identify(site + L"\\folder2\\file2.txt", restored));
    EXPECT_EQ(std::tie(restored.nFileIndexHigh, restored.nFileIndexLow), std::tie(inBackup.nFileIndexHigh, inBackup.nFileIndexLow))
        << "the emptied folder got the backup in one rename, not by copying";
}

// A file the backup could not copy (held without read sharing) and a link to a folder are recorded, not copied;
// the restore keeps both in the folder and leaves the link's target alone. A file that another process holds
// during the restore stays as it is too; everything else comes back from the backup, which is removed
// afterwards but for the copy of the held file.
TEST_F(FolderActions, WhatTheBackupHasNoCopyOfOrCannotReplaceStaysInTheFolder) {
    writeTree(site, {{L"db.dat", "data"}, {L"a.txt", "a"}, {L"held.txt", "backed up"}, {L"sub\\b.txt", "b"}});
    writeTree(dir + L"\\elsewhere", {{L"t.txt", "target"}});
    const bool linked = makeFolderLink(site + L"\\linked", dir + L"\\elsewhere");
    {
        HeldFile holder(L"-", {site + L"\\db.dat"});
        ASSERT_TRUE(holder.ready()) << holder.status();
        ASSERT_EQ(run({{L"BackupFolder", site}}), 0u);
    }
    EXPECT_EQ(readTree(backup), (Tree{{L"a.txt", "a"}, {L"held.txt", "backed up"}, {L"sub", folderMark},
                                      {L"sub\\b.txt", "b"},
                                      {L".tarvo-not-in-backup", linked ? "db.dat\r\nlinked\r\n" : "db.dat\r\n"}}));
    writeTree(site, {{L"db.dat", "data grown since"}, {L"a.txt", "upgraded"}, {L"held.txt", "current"},
                     {L"sub\\b.txt", "upgraded"}, {L"new.txt", "new"}});
    HeldFile holder(L"-", {site + L"\\held.txt"});
    ASSERT_TRUE(holder.ready()) << holder.status();
    ASSERT_EQ(run({{L"RestoreFolder", site}}), 0u);
    holder.release();
    Tree restored = readTree(site);
    std::erase_if(restored, [](const auto& entry) { return entry.first.starts_with(L"linked"); });
    EXPECT_EQ(restored, (Tree{{L"db.dat", "data grown since"}, {L"a.txt", "a"}, {L"held.txt", "current"},
                              {L"sub", folderMark}, {L"sub\\b.txt", "b"}}));
    EXPECT_EQ(readTree(backup), (Tree{{L"held.txt", "backed up"}}));
    const std::wstring log = package.log();
    for (const std::wstring& line : {L"Warning: The backup of folder '" + site +
                                         L"' has no copy of 'db.dat': a restore keeps it",
                                     L"Warning: '" + site + L"\\db.dat' is kept as it is: the backup has no copy of it",
                                     L"Warning: The backup's copy of '" + site + L"\\held.txt' stays in '" + backup +
                                         L"\\held.txt': it could not take its place",
                                     L"at Unable to remove file: " + site + L"\\held.txt("})
        EXPECT_TRUE(contains(log, line)) << line << "\n" << log;
    if (!linked) GTEST_SKIP() << "no link to a folder can be made here";
    EXPECT_TRUE(isFolderLink(site + L"\\linked"));
    EXPECT_EQ(readTree(dir + L"\\elsewhere"), (Tree{{L"t.txt", "target"}}));
}
