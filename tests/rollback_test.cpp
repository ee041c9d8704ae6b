// Rollback that undoes: after a critical failure the stage's earlier actions take back what they changed, and
// after a failure later in the installation the rollback action does the same from the records on disk; but
// only what is still exactly as they left it, and each change once.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <tuple>

#include "engine/action.h"
#include "engine/executor.h"
#include "engine/undo.h"
#include "msi/vmsi.h"
#include "runtime/errors/format.h"
#include "runtime/security/security.h"
#include "tests/filetree.h"
#include "tests/msisession.h"
#include "tests/testutil.h"

namespace {

// A step of the test's own between the rows (something else touching what they changed), or the failure.
class Step : public Action {
public:
    Step(std::function<void()> body) : Action(L"step"), body_(std::move(body)) {}
    void execute(vmsi&) override { body_(); }
    void rollback(vmsi&) override {}

private:
    std::function<void()> body_;
};

bool fileExists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

size_t count(const std::wstring& text, const std::wstring& part) {
    size_t found = 0;
    for (size_t at = text.find(part); at != std::wstring::npos; at = text.find(part, at + 1)) ++found;
    return found;
}

class Rollback : public ::testing::Test {
protected:
    ~Rollback() override { journal.remove(); }
    void row(const wchar_t* type, const std::wstring& parameters) {
        actions.push_back(Action::CreateAction(type, parameters, type, true));
    }
    void step(std::function<void()> body) { actions.push_back(std::make_unique<Step>(std::move(body))); }
    // Runs the rows, then a critical failure.
    void runAndFail() {
        step([] { throw vexception(L"planned failure"); });
        ASSERT_EQ(executeList(session, 5, actions, L"stage"), 1603u);
        log = package.log();
        EXPECT_TRUE(package.texts(kWarning).empty()) << "a rollback failed: " << package.texts(kWarning).at(0);
    }
    static bool valueOfRegistry(const ScopedTestKey& key, const wchar_t* name) {
        return ::RegGetValueW(HKEY_LOCAL_MACHINE, key.subkey().c_str(), name, RRF_RT_ANY | RRF_SUBKEY_WOW6432KEY,
                              nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    }
    static bool writeRegistry(const ScopedTestKey& key, const wchar_t* name) {
        HKEY handle = nullptr;
        if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.subkey().c_str(), 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_32KEY,
                              nullptr, &handle, nullptr))
            return false;
        const DWORD data = 5;
        const bool written = ::RegSetValueExW(handle, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), 4) == 0;
        ::RegCloseKey(handle);
        return written;
    }
    std::wstring valueOf(const ScopedTestKey& key, const wchar_t* name, DWORD* type = nullptr) const {
        wchar_t data[64] = {};
        DWORD size = sizeof data, found = REG_NONE;
        if (::RegGetValueW(HKEY_LOCAL_MACHINE, key.subkey().c_str(), name, RRF_RT_ANY | RRF_SUBKEY_WOW6432KEY, &found,
                           data, &size) != ERROR_SUCCESS)
            return L"<absent>";
        if (type) *type = found;
        DWORD number = 0;
        std::memcpy(&number, data, sizeof number);
        return found == REG_DWORD ? std::to_wstring(number) : std::wstring(data);
    }

    // The installation failed after the stage: its actions are gone with their process, and the rollback
    // action works from the records alone.
    void rollBackInstallation() {
        actions.clear();
        package.clearMessages();
        package.setProperty(L"CustomActionData", journal.folder());
        EXPECT_EQ(package.call("OnStageNormalRollback"), 0u);
        log = package.log();
        EXPECT_TRUE(package.texts(kWarning).empty()) << "a rollback failed: " << package.texts(kWarning).at(0);
        EXPECT_FALSE(fileExists(journal.folder())) << "the undo data goes with the rollback";
    }

    MsiSession package;
    vmsi session{package.handle()};
    ActionList actions;
    std::wstring dir = tempDirectory(), log;
    UndoJournal journal{UndoJournal::newRunFolder(L"{TEST}")};
    UndoJournal::Scope scope{journal};
};


}  // namespace

TEST_F(Rollback, FilesAndValuesComeBackAsTheyWereAndWhatTheRowsMadeGoes) {
    ScopedTestKey key(L"undo");
    writeBytes(dir + L"\\rndc.key", "key \"rndc-key\" {};\n");
    writeBytes(dir + L"\\rndc.conf", "old configuration\r\n");
    HKEY created = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.subkey().c_str(), 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_32KEY,
                                nullptr, &created, nullptr), 0);
    ::RegSetValueExW(created, L"kept", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"text"), 10);
    ::RegCloseKey(created);
    const std::wstring newKey = key.subkey() + L"\\made";

    row(L"FormBINDKey", dir + L"\\rndc.conf," + dir + L"\\rndc.key");
    row(L"FormBINDKey", dir + L"\\new.conf," + dir + L"\\rndc.key");
    row(L"WriteRegistryDWORD", L"LM," + key.subkey() + L",kept,7");
    row(L"WriteRegistryDWORD", L"LM," + newKey + L",made,8");
    const std::wstring sharedKey = key.subkey() + L"\\shared";
    row(L"WriteRegistryDWORD", L"LM," + sharedKey + L",made,9");
    step([&] {  // something else puts a value of its own into the key the row made
        HKEY handle = nullptr;
        ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, sharedKey.c_str(), 0, KEY_SET_VALUE | KEY_WOW64_32KEY, &handle);
        ::RegSetValueExW(handle, L"other", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"x"), 4);
        ::RegCloseKey(handle);
    });
    runAndFail();

    EXPECT_EQ(readBytes(dir + L"\\rndc.conf"), "old configuration\r\n");
    EXPECT_EQ(readBytes(dir + L"\\new.conf"), "<missing>");
    DWORD type = REG_NONE;
    EXPECT_EQ(valueOf(key, L"kept", &type), L"text");
    EXPECT_EQ(type, DWORD{REG_SZ}) << "the value's type comes back too";
    HKEY gone = nullptr;
    EXPECT_NE(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, newKey.c_str(), 0, KEY_READ | KEY_WOW64_32KEY, &gone), 0)
        << "the key the row made is removed with its value";
    ScopedTestKey shared(L"undo\\shared");
    const auto sharedValue = [&](const wchar_t* name) {
        return ::RegGetValueW(HKEY_LOCAL_MACHINE, sharedKey.c_str(), name, RRF_RT_ANY | RRF_SUBKEY_WOW6432KEY, nullptr,
                              nullptr, nullptr) == ERROR_SUCCESS;
    };
    EXPECT_FALSE(sharedValue(L"made"));
    EXPECT_TRUE(sharedValue(L"other")) << "a key that holds another value since stays";
    for (const std::wstring& line :
         {L"Rollback: file '" + dir + L"\\rndc.conf' has its previous content again",
          L"Rollback: file '" + dir + L"\\new.conf', which the action created, is removed",
          L"Rollback: registry value 'HKLM\\" + key.subkey() + L"\\kept (32-bit view)' has its previous value again",
          L"Rollback: registry value 'HKLM\\" + newKey + L"\\made (32-bit view)', which the action created, is removed"})
        EXPECT_TRUE(contains(log, line)) << line << "\n" << log;
}

TEST_F(Rollback, WhatWasChangedSinceOrIsGoneIsLeftAloneWithALine) {
    ScopedTestKey key(L"undo-changed");
    writeBytes(dir + L"\\rndc.key", "key \"rndc-key\" {};\n");
    row(L"FormBINDKey", dir + L"\\a.conf," + dir + L"\\rndc.key");
    row(L"FormBINDKey", dir + L"\\b.conf," + dir + L"\\rndc.key");
    row(L"WriteRegistryDWORD", L"LM," + key.subkey() + L",v,1");
    step([&] {
        writeBytes(dir + L"\\a.conf", "edited by hand");
        ::DeleteFileW((dir + L"\\b.conf").c_str());
        HKEY handle = nullptr;
        ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.subkey().c_str(), 0, KEY_SET_VALUE | KEY_WOW64_32KEY, &handle);
        const DWORD other = 2;
        ::RegSetValueExW(handle, L"v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&other), sizeof other);
        ::RegCloseKey(handle);
    });
    runAndFail();

    EXPECT_EQ(readBytes(dir + L"\\a.conf"), "edited by hand");
    EXPECT_EQ(valueOf(key, L"v"), L"2");
    for (const std::wstring& line :
         {L"Rollback: file '" + dir + L"\\a.conf' is left as it is: it was changed after the action",
          L"Rollback: file '" + dir + L"\\b.conf' is left as it is: it no longer exists",
          L"Rollback: registry value 'HKLM\\" + key.subkey() + L"\\v (32-bit view)' is left as it is: it was changed after the action"})
        EXPECT_TRUE(contains(log, line)) << line << "\n" << log;
}

namespace {

// Every name under `root` that a file action keeps or writes on the way: none may stay.
std::vector<std::wstring> workFiles(const std::wstring& root) {
    std::vector<std::wstring> found;
    for (const auto& [name, content] : readTree(root))
        for (const wchar_t* mark : {L".new", L".kept-", L".discarded-"})
            if (contains(name.substr(name.find_last_of(L'\\') + 1), mark)) found.push_back(name);
    return found;
}

}  // namespace

TEST_F(Rollback, TheFileActionsPutEveryFileAndFolderBack) {
    writeTree(dir + L"\\files", {{L"php.ini", "[PHP]\r\n;extension=mbstring\r\n"},
                                 {L"httpd.conf", "\nListen 80\n\n"},
                                 {L"site.tpl", "Listen PORT\n"},
                                 {L"site.conf", "old\n"},
                                 {L"site.conf.bak", "older\n"},
                                 {L"source.txt", "copied"},
                                 {L"copy.txt", "previous"},
                                 {L"www", folderMark},
                                 {L"www\\index.html", "site"},
                                 {L"www_upgrade.bak\\index.html", "previous backup"},
                                 {L"data\\a.txt", "a"}});
    const std::wstring files = dir + L"\\files\\";
    // Read-only targets are edited and put back keeping the flag; a copy takes its source's flag.
    const auto readOnly = [&](const wchar_t* name) {
        const DWORD attributes = ::GetFileAttributesW((files + name).c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
    };
    for (const wchar_t* name : {L"php.ini", L"httpd.conf", L"site.conf", L"source.txt"})
        ASSERT_TRUE(::SetFileAttributesW((files + name).c_str(), FILE_ATTRIBUTE_READONLY));
    const Tree before = readTree(dir + L"\\files");
    writeTree(dir + L"\\restored", {{L"a.txt", "upgraded"}});
    writeTree(dir + L"\\restored_upgrade.bak", {{L"a.txt", "backed up"}});
    row(L"FixIniFile", files + L"php.ini,PHP,extension,mbstring");
    row(L"FixConfFile", files + L"httpd.conf,Listen,80,8443");
    row(L"FixTemplateFile", files + L"site.tpl>" + files + L"site.conf,PORT=8443");
    row(L"FixTemplateFile", files + L"site.tpl>" + files + L"made.conf,PORT=8443");
    row(L"CopyFile", files + L"source.txt," + files + L"copy.txt");
    row(L"CopyFile", files + L"source.txt," + files + L"new.txt");
    row(L"BackupFolder", files + L"www");
    row(L"BackupFolder", files + L"data");
    row(L"RestoreFolder", dir + L"\\restored");
    runAndFail();

    EXPECT_EQ(readTree(dir + L"\\files"), before);
    for (const wchar_t* name : {L"php.ini", L"httpd.conf", L"site.conf"}) EXPECT_TRUE(readOnly(name)) << name;
    EXPECT_EQ(readTree(dir + L"\\restored"), (Tree{{L"a.txt", "backed up"}}));
    for (const std::wstring& line :
         {L"Rollback: file '" + files + L"php.ini' has its previous content again",
          L"Rollback: file '" + files + L"httpd.conf' has its previous content again",
          L"Rollback: file '" + files + L"site.conf' has its previous content again",
          L"Rollback: file '" + files + L"site.conf.bak' has its previous content again",
          L"Rollback: file '" + files + L"made.conf', which the action created, is removed",
          L"Rollback: file '" + files + L"new.txt', which the action created, is removed",
          L"Rollback: folder '" + files + L"www_upgrade.bak' has its previous content again",
          L"Rollback: folder '" + files + L"data_upgrade.bak', which the action made, is removed",
          L"Rollback: the restore of folder '" + dir + L"\\restored' is not undone"})
        EXPECT_TRUE(contains(log, line)) << line << "\n" << log;
}

TEST_F(Rollback, FilesAndBackupsChangedSinceTheActionAreLeftAlone) {
    writeTree(dir, {{L"php.ini", "[PHP]\r\n;extension=mbstring\r\n"}, {L"source.txt", "copied"}, {L"www\\a", "a"},
                    {L"www_upgrade.bak\\a", "previous"}});
    row(L"FixIniFile", dir + L"\\php.ini,PHP,extension,mbstring");
    row(L"CopyFile", dir + L"\\source.txt," + dir + L"\\copy.txt");
    row(L"BackupFolder", dir + L"\\www");
    step([&] {
        writeBytes(dir + L"\\php.ini", "edited by hand");
        writeBytes(dir + L"\\copy.txt", "edited by hand");
        writeBytes(dir + L"\\www_upgrade.bak\\b", "added by hand");
    });
    runAndFail();
    actions.clear();
    EXPECT_EQ(readBytes(dir + L"\\php.ini"), "edited by hand");
    EXPECT_EQ(readBytes(dir + L"\\copy.txt"), "edited by hand");
    EXPECT_EQ(readTree(dir + L"\\www_upgrade.bak"), (Tree{{L"a", "a"}, {L"b", "added by hand"}}));
    for (const std::wstring& line :
         {L"Rollback: file '" + dir + L"\\php.ini' is left as it is: it was changed after the action",
          L"Rollback: file '" + dir + L"\\copy.txt' is left as it is: it was changed after the action",
          L"Rollback: folder '" + dir + L"\\www_upgrade.bak' is left as it is: it was changed after the action",
          L"Rollback: the previous content of folder '" + dir + L"\\www_upgrade.bak' stays in '" + dir +
              L"\\www_upgrade.bak.kept-"})
        EXPECT_TRUE(contains(log, line)) << line << "\n" << log;
    EXPECT_EQ(workFiles(dir).size(), 1u) << "the previous backup is kept, not deleted";
}

TEST_F(Rollback, AStageThatSucceededLeavesItsChangesAndNoWorkFiles) {
    writeTree(dir, {{L"php.ini", "[PHP]\r\n;extension=mbstring\r\n"}, {L"site.tpl", "Listen PORT\n"},
                    {L"site.conf", "old\n"}, {L"www\\a", "a"}, {L"www_upgrade.bak\\old", "previous"}});
    row(L"FixIniFile", dir + L"\\php.ini,PHP,extension,mbstring");
    row(L"FixTemplateFile", dir + L"\\site.tpl>" + dir + L"\\site.conf,PORT=1");
    row(L"BackupFolder", dir + L"\\www");
    ASSERT_EQ(executeList(session, 5, actions, L"stage"), 0u);
    actions.clear();
    journal.commit(&session);
    EXPECT_FALSE(fileExists(journal.folder()));
    EXPECT_EQ(readBytes(dir + L"\\php.ini"), "[PHP]\r\nextension=mbstring\r\n");
    EXPECT_EQ(readBytes(dir + L"\\site.conf"), "Listen 1\r\n");
    EXPECT_EQ(readTree(dir + L"\\www_upgrade.bak"), (Tree{{L"a", "a"}}));
    EXPECT_EQ(workFiles(dir), std::vector<std::wstring>{});
}

// The installation fails after the stage succeeded: the rollback action, given the journal, takes everything
// back from the records on disk, and a backup that is the only copy of its folder as it was stays.
TEST_F(Rollback, ALaterFailureTakesBackWhatASucceededStageChanged) {
    ScopedTestKey key(L"later");
    writeTree(dir, {{L"php.ini", "[PHP]\r\n;extension=mbstring\r\n"}, {L"httpd.conf", "Listen 80\n"},
                    {L"site.tpl", "Listen PORT\n"}, {L"site.conf", "old\n"}, {L"site.conf.bak", "older\n"},
                    {L"source.txt", "copied"}, {L"copy.txt", "previous"}, {L"www\\a", "a"},
                    {L"www_upgrade.bak\\a", "previous backup"}, {L"db\\a", "a"}, {L"old\\a", "a"},
                    {L"old_upgrade.bak\\a", "oldest"}, {L"vhost.conf", "previous"}, {L"vhost.conf.bak", "older"}});
    const Tree before = readTree(dir);
    row(L"FixTemplateFile", dir + L"\\site.tpl>" + dir + L"\\vhost.conf,PORT=2");
    row(L"FixIniFile", dir + L"\\php.ini,PHP,extension,mbstring");
    row(L"FixConfFile", dir + L"\\httpd.conf,Listen,80,8443");
    row(L"FixTemplateFile", dir + L"\\site.tpl>" + dir + L"\\site.conf,PORT=1");
    row(L"CopyFile", dir + L"\\source.txt," + dir + L"\\copy.txt");
    row(L"CopyFile", dir + L"\\source.txt," + dir + L"\\new.txt");
    row(L"WriteRegistryDWORD", L"LM," + key.subkey() + L",v,1");
    row(L"BackupFolder", dir + L"\\www");
    row(L"BackupFolder", dir + L"\\db");
    row(L"BackupFolder", dir + L"\\old");
    row(L"RestoreFolder", dir + L"\\old");  // uses the new backup up
    step([&] { writeBytes(dir + L"\\db\\a", "migrated"); });
    ASSERT_EQ(executeList(session, 5, actions, L"stage"), 0u);
    writeBytes(dir + L"\\copy.txt", "edited by hand after the stage");
    writeBytes(dir + L"\\vhost.conf", "edited by hand after the stage");
    rollBackInstallation();

    Tree expected = before;
    expected[L"copy.txt"] = "edited by hand after the stage";
    expected[L"vhost.conf"] = "edited by hand after the stage";
    expected[L"vhost.conf.bak"] = "previous";  // the only copy of the file as it was
    expected[L"db\\a"] = "migrated";
    expected[L"db_upgrade.bak"] = folderMark;
    expected[L"db_upgrade.bak\\a"] = "a";
    EXPECT_EQ(readTree(dir), expected);
    EXPECT_EQ(valueOfRegistry(key, L"v"), false);
    for (const std::wstring& line :
         {L"Rollback: file '" + dir + L"\\copy.txt' is left as it is: it was changed after the action",
          L"Rollback: folder '" + dir + L"\\db_upgrade.bak' stays: '" + dir + L"\\db' was changed after it was made",
          L"Rollback: folder '" + dir + L"\\old_upgrade.bak' no longer exists: the previous one is back in its place",
          L"Rollback: file '" + dir + L"\\site.conf.bak' has its previous content again",
          L"Rollback: file '" + dir + L"\\vhost.conf.bak' is left as it is: it holds the previous content of '" + dir +
              L"\\vhost.conf', which is not back there"})
        EXPECT_TRUE(contains(log, line)) << line << "\n" << log;
}

// What the stage's own rollback undid, the rollback action finds done; a change whose action never finished
// (its process ended in the middle) is put back as it was.
TEST_F(Rollback, EachChangeIsUndoneOnceAndAnUnfinishedOneIsPutBack) {
    ScopedTestKey key(L"once");
    writeTree(dir, {{L"a.conf", "before"}, {L"b.conf", "source"}});
    row(L"CopyFile", dir + L"\\b.conf," + dir + L"\\a.conf");
    runAndFail();
    FileUndo unfinishedFile;
    unfinishedFile.before(dir + L"\\b.conf");
    writeBytes(dir + L"\\b.conf", "half written");
    RegistryValueUndo unfinishedValue;
    unfinishedValue.before(HKEY_LOCAL_MACHINE, key.subkey(), L"v", KEY_WOW64_32KEY);
    ASSERT_TRUE(writeRegistry(key, L"v"));
    rollBackInstallation();

    EXPECT_EQ(readBytes(dir + L"\\a.conf"), "before");
    EXPECT_EQ(readBytes(dir + L"\\b.conf"), "source");
    EXPECT_EQ(valueOfRegistry(key, L"v"), false);
    EXPECT_EQ(count(log, L"Rollback: file '" + dir + L"\\a.conf'"), 0u) << log;
    EXPECT_TRUE(contains(log, L"Rollback: file '" + dir + L"\\b.conf' is put back as it was: its action did not finish"))
        << log;
}

// The rollback and commit actions only ever remove a journal folder; with nothing to do they succeed.
TEST_F(Rollback, TheFinishingActionsTouchNothingButAJournal) {
    const std::wstring root = UndoJournal::root();
    struct Case {
        std::wstring folder;
        bool journal;
    };
    for (const Case& c : {Case{journal.folder(), true}, Case{root + L"\\{P}\\" + std::wstring(36, L'0'), false},
                          Case{root, false}, Case{root + L"\\{P}", false}, Case{dir, false},
                          Case{root + L"\\{P}\\..\\..\\x\\00000000-0000-0000-0000-000000000000", false},
                          Case{dir + L"\\{P}\\00000000-0000-0000-0000-000000000000", false}})
        EXPECT_EQ(UndoJournal::isRunFolder(c.folder), c.journal) << c.folder;
    for (const char* action : {"OnStageNormalRollback", "OnStageNormalCommit"})
        for (const std::wstring& given : {std::wstring(), dir, journal.folder()}) {
            package.setProperty(L"CustomActionData", given);
            EXPECT_EQ(package.call(action), 0u) << action;
            EXPECT_TRUE(fileExists(dir)) << action;
        }
}

// An earlier run's journal, which a crash or an older package left, goes with the next run of the stage.
TEST_F(Rollback, TheNextRunRemovesWhatAnEarlierRunLeft) {
    const std::wstring earlier = UndoJournal::newRunFolder(L"{TEST}");
    {
        UndoJournal left(earlier);
        UndoJournal::Scope scope(left);
        FileUndo undo;
        undo.before(dir + L"\\absent.txt");
    }
    ASSERT_TRUE(fileExists(earlier));
    journal.removeEarlierRuns(session);
    EXPECT_FALSE(fileExists(earlier));
    EXPECT_TRUE(contains(package.log(), L"Removed the undo data that an earlier installation of this product left in '" +
                                            earlier + L"'"));
}

// The stage hands its journal to the rollback and commit actions only in a package that schedules both; a
// package built for an earlier DLL gets the stage's own rollback, as before.
TEST(UndoWiring, TheNormalStageKeepsItsJournalForTheInstallationOnlyWhenBothActionsAreScheduled) {
    for (const auto& [rollback, commit] : {std::pair{true, true}, {true, false}, {false, true}, {false, false}}) {
        std::vector<std::wstring> sql = actionTable(
            {{L"R", L"1", L"Cmd", L"cmd.exe /c exit 0", L"R", 1, L"1", L"normal"}},
            {L"CREATE TABLE `CustomAction` (`Action` CHAR(72) NOT NULL, `Type` SHORT NOT NULL, `Source` CHAR(72), "
             L"`Target` CHAR(255) PRIMARY KEY `Action`)",
             L"CREATE TABLE `InstallExecuteSequence` (`Action` CHAR(72) NOT NULL, `Condition` CHAR(255), `Sequence` "
             L"SHORT PRIMARY KEY `Action`)"});
        for (const auto& [wanted, name, type, sequence] :
             {std::tuple{rollback, L"Undo", 3329, 4004}, {commit, L"Keep", 3585, 4006}}) {
            if (!wanted) continue;
            const std::wstring entry = type == 3329 ? L"OnStageNormalRollback" : L"OnStageNormalCommit";
            sql.push_back(formatString(L"INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) VALUES "
                                       L"('%s', %d, 'TarvoCA', '%s')",
                                       std::wstring(name), type, entry));
            sql.push_back(formatString(L"INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('%s', %d)",
                                       std::wstring(name), sequence));
        }
        MsiSession package(sql);
        ASSERT_EQ(package.call("PrepareTarvoCustomActions"), 0u);
        const std::wstring journal = package.property(L"Action_OnStageNormalRollback");
        EXPECT_TRUE(UndoJournal::isRunFolder(journal)) << journal;
        EXPECT_EQ(package.property(L"Action_OnStageNormalCommit"), journal);
        EXPECT_EQ(contains(package.property(L"Action_OnStageNormal"), L" undo=\"" + journal + L"\""), rollback && commit)
            << rollback << commit;
    }
}

// The journal holds old file contents: only LocalSystem and the Administrators may open it, or a copy in it.
// (Wine 8 keeps access lists as Unix mode bits and shows the Administrators' entry as the owner's.)
TEST_F(Rollback, TheJournalIsOpenOnlyToSystemAndTheAdministrators) {
    writeBytes(dir + L"\\secret.ini", "password=old");
    FileUndo undo;
    undo.before(dir + L"\\secret.ini");
    const std::wstring expected =
        L"S-1-5-18 " + (runningUnderWine() ? security::processUser().toString() : std::wstring(L"S-1-5-32-544")) + L" ";
    VFileFinder copies;
    ASSERT_TRUE(copies.first(journal.folder() + L"\\*.bytes"));
    for (const std::wstring& path : {UndoJournal::root(), journal.folder(), journal.folder() + L"\\" + copies.name()}) {
        std::wstring sids;
        for (const security::AclEntry& entry :
             security::readAcl(reinterpret_cast<const ACL*>(security::getObjectDacl(path, SE_FILE_OBJECT).data())))
            sids += entry.sid.toString() + L" ";
        EXPECT_EQ(sids, expected) << path;
    }
}
