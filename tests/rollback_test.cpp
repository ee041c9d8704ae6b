// Rollback that undoes: after a critical failure the stage's earlier actions take back what they changed, and
// after a failure later in the installation the rollback action does the same from the records on disk; but
// only what is still exactly as they left it, and each change once. (tests/e2e/rollback.sh shows both through
// msiexec on the sample's rows, and that a stage that succeeds keeps its changes and leaves no work file.)
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
class UndoStep : public Action {
public:
    UndoStep(std::function<void()> body) : Action(L"step"), body_(std::move(body)) {}
    void execute(vmsi&) override { body_(); }
    void rollback(vmsi&) override {}

private:
    std::function<void()> body_;
};

bool fileExists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Writes a value into the 32-bit view, where the rows write, making the key if need be.
void putValue(const std::wstring& subkey, const wchar_t* name, DWORD type, const void* data, DWORD size) {
    HKEY handle = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_32KEY,
                                nullptr, &handle, nullptr), 0);
    ::RegSetValueExW(handle, name, 0, type, static_cast<const BYTE*>(data), size);
    ::RegCloseKey(handle);
}
void putDword(const std::wstring& subkey, const wchar_t* name, DWORD data) {
    putValue(subkey, name, REG_DWORD, &data, sizeof data);
}

// A value of the 32-bit view as "type:data" (a DWORD in decimal), or "<absent>".
std::wstring valueOf(const std::wstring& subkey, const wchar_t* name) {
    wchar_t data[64] = {};
    DWORD size = sizeof data, type = REG_NONE;
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, subkey.c_str(), name, RRF_RT_ANY | RRF_SUBKEY_WOW6432KEY, &type, data,
                       &size) != ERROR_SUCCESS)
        return L"<absent>";
    DWORD number = 0;
    std::memcpy(&number, data, sizeof number);
    return type == REG_DWORD ? L"dword:" + std::to_wstring(number) : L"sz:" + std::wstring(data);
}

// Every name under `root` that a file action keeps or writes on the way: none may stay.
std::vector<std::wstring> workFiles(const std::wstring& root) {
    std::vector<std::wstring> found;
    for (const auto& [name, content] : readTree(root))
        for (const wchar_t* mark : {L".new", L".kept-", L".discarded-"})
            if (contains(name.substr(name.find_last_of(L'\\') + 1), mark)) found.push_back(name);
    return found;
}

class Rollback : public ::testing::Test {
protected:
    ~Rollback() override { journal.remove(); }
    void row(const wchar_t* type, const std::wstring& parameters) {
        actions.push_back(Action::CreateAction(type, parameters, type, true));
    }
    void step(std::function<void()> body) { actions.push_back(std::make_unique<UndoStep>(std::move(body))); }
    // Runs the rows, then a critical failure.
    void runAndFail() {
        step([] { throw vexception(L"planned failure"); });
        ASSERT_EQ(executeList(session, 5, actions, L"stage"), 1603u);
        log = package.log();
        EXPECT_TRUE(package.texts(kWarning).empty()) << "a rollback failed: " << package.texts(kWarning).at(0);
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
    // Each line "Rollback: <what> '<path>'<how>" is in the log; a path not from HKLM is under the test's folder.
    void expectLines(const std::vector<std::tuple<const wchar_t*, std::wstring, std::wstring>>& lines) {
        for (const auto& [what, name, how] : lines) {
            const std::wstring path = name.starts_with(L"HKLM\\") ? name : dir + L"\\" + name;
            const std::wstring line = L"Rollback: " + std::wstring(what) + L" '" + path + L"'" + how;
            EXPECT_TRUE(contains(log, line)) << line << "\n" << log;
        }
    }

    MsiSession package;
    vmsi session{package.handle()};
    ActionList actions;
    std::wstring dir = tempDirectory(), log;
    UndoJournal journal{UndoJournal::newRunFolder(L"{TEST}")};
    UndoJournal::Scope scope{journal};
};

// How the rollback's lines end.
const std::wstring backAgain = L" has its previous content again",
                   createdRemoved = L", which the action created, is removed",
                   leftEdited = L" is left as it is: it was changed after the action";

}  // namespace

// A value comes back with its type; a key that a row made goes with its value, but not once it holds a value
// of someone else's; a value changed since the row is left alone.
TEST_F(Rollback, RegistryValuesComeBackAndAKeyARowMadeGoesUnlessItHoldsOtherValuesSince) {
    ScopedTestKey key(L"undo");
    const std::wstring base = key.subkey(), made = base + L"\\made", shared = base + L"\\shared";
    putValue(base, L"kept", REG_SZ, L"text", 10);
    row(L"WriteRegistryDWORD", L"LM," + base + L",kept,7");
    row(L"WriteRegistryDWORD", L"LM," + base + L",changed,1");
    row(L"WriteRegistryDWORD", L"LM," + made + L",made,8");
    row(L"WriteRegistryDWORD", L"LM," + shared + L",made,9");
    step([&] {
        putValue(shared, L"other", REG_SZ, L"x", 4);
        putDword(base, L"changed", 2);
    });
    runAndFail();

    EXPECT_EQ(valueOf(base, L"kept"), L"sz:text");
    EXPECT_EQ(valueOf(base, L"changed"), L"dword:2");
    HKEY gone = nullptr;
    EXPECT_NE(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, made.c_str(), 0, KEY_READ | KEY_WOW64_32KEY, &gone), 0)
        << "the key the row made is removed with its value";
    EXPECT_EQ(valueOf(shared, L"made"), L"<absent>");
    EXPECT_EQ(valueOf(shared, L"other"), L"sz:x") << "a key that holds another value since stays";
    const std::wstring hklm = L"HKLM\\" + base + L"\\";
    expectLines({{L"registry value", hklm + L"kept (32-bit view)", L" has its previous value again"},
                 {L"registry value", hklm + L"made\\made (32-bit view)", createdRemoved},
                 {L"registry value", hklm + L"changed (32-bit view)", leftEdited}});
}

TEST_F(Rollback, WhatWasChangedSinceOrIsGoneIsLeftAloneWithALine) {
    writeTree(dir, {{L"rndc.key", "key \"rndc-key\" {};\n"}, {L"php.ini", "[PHP]\r\n;extension=mbstring\r\n"},
                    {L"source.txt", "copied"}, {L"www\\a", "a"}, {L"www_upgrade.bak\\a", "previous"}});
    row(L"FormBINDKey", dir + L"\\a.conf," + dir + L"\\rndc.key");
    row(L"FormBINDKey", dir + L"\\b.conf," + dir + L"\\rndc.key");
    row(L"FixIniFile", dir + L"\\php.ini,PHP,extension,mbstring");
    row(L"CopyFile", dir + L"\\source.txt," + dir + L"\\copy.txt");
    row(L"BackupFolder", dir + L"\\www");
    step([&] {
        for (const wchar_t* name : {L"\\a.conf", L"\\php.ini", L"\\copy.txt"}) writeBytes(dir + name, "edited by hand");
        ::DeleteFileW((dir + L"\\b.conf").c_str());
        writeBytes(dir + L"\\www_upgrade.bak\\b", "added by hand");
    });
    runAndFail();

    for (const wchar_t* name : {L"\\a.conf", L"\\php.ini", L"\\copy.txt"})
        EXPECT_EQ(readBytes(dir + name), "edited by hand") << name;
    EXPECT_EQ(readTree(dir + L"\\www_upgrade.bak"), (Tree{{L"a", "a"}, {L"b", "added by hand"}}));
    expectLines({{L"file", L"a.conf", leftEdited},
                 {L"file", L"b.conf", L" is left as it is: it no longer exists"},
                 {L"file", L"php.ini", leftEdited},
                 {L"file", L"copy.txt", leftEdited},
                 {L"folder", L"www_upgrade.bak", leftEdited},
                 {L"the previous content of folder", L"www_upgrade.bak",
                  L" stays in '" + dir + L"\\www_upgrade.bak.kept-"}});
    EXPECT_EQ(workFiles(dir).size(), 1u) << "the previous backup is kept, not deleted";
}

// The installation fails after the stage succeeded: the rollback action, given the journal, takes back every
// file action's change from the records on disk (a read-only target keeps its flag), but a backup that is the
// only copy of its folder or file as it was stays. (tests/e2e/rollback.sh shows the configuration fixers, a
// template's target with its own ".bak" and a restored site with its older backup taken back.)
TEST_F(Rollback, ALaterFailureTakesBackWhatASucceededStageChanged) {
    writeTree(dir, {{L"php.ini", "[PHP]\r\n;extension=mbstring\r\n"}, {L"site.tpl", "Listen PORT\n"},
                    {L"source.txt", "copied"}, {L"copy.txt", "previous"}, {L"db\\a", "a"}, {L"data\\a", "a"},
                    {L"vhost.conf", "previous"}, {L"vhost.conf.bak", "older"}, {L"rndc.key", "key \"rndc-key\" {};\n"},
                    {L"rndc.conf", "old configuration\r\n"}});
    ASSERT_TRUE(::SetFileAttributesW((dir + L"\\php.ini").c_str(), FILE_ATTRIBUTE_READONLY));
    const Tree before = readTree(dir);
    row(L"FixTemplateFile", dir + L"\\site.tpl>" + dir + L"\\vhost.conf,PORT=2");
    row(L"FixIniFile", dir + L"\\php.ini,PHP,extension,mbstring");
    row(L"FixTemplateFile", dir + L"\\site.tpl>" + dir + L"\\made.conf,PORT=1");
    row(L"CopyFile", dir + L"\\source.txt," + dir + L"\\copy.txt");
    row(L"CopyFile", dir + L"\\source.txt," + dir + L"\\new.txt");
    row(L"FormBINDKey", dir + L"\\rndc.conf," + dir + L"\\rndc.key");
    row(L"FormBINDKey", dir + L"\\new.conf," + dir + L"\\rndc.key");
    row(L"BackupFolder", dir + L"\\db");
    row(L"BackupFolder", dir + L"\\data");
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
    EXPECT_TRUE(::GetFileAttributesW((dir + L"\\php.ini").c_str()) & FILE_ATTRIBUTE_READONLY);
    expectLines({{L"file", L"php.ini", backAgain},
                 {L"file", L"made.conf", createdRemoved},
                 {L"folder", L"data_upgrade.bak", L", which the action made, is removed"},
                 {L"file", L"copy.txt", leftEdited},
                 {L"folder", L"db_upgrade.bak", L" stays: '" + dir + L"\\db' was changed after it was made"},
                 {L"file", L"vhost.conf.bak",
                  L" is left as it is: it holds the previous content of '" + dir + L"\\vhost.conf', which is not back "
                  L"there"}});
}

// A restore of a folder from its backup stays; a change whose action never finished (its process ended in the
// middle) is put back as it was. (The msiexec rollback scenario shows that what the stage's own rollback undid
// the rollback action does not undo again.)
TEST_F(Rollback, ARestoreStaysAndAChangeWhoseActionDidNotFinishIsPutBack) {
    ScopedTestKey key(L"once");
    writeTree(dir, {{L"b.conf", "source"}, {L"site\\a", "upgraded"}, {L"site_upgrade.bak\\a", "kept"}});
    row(L"RestoreFolder", dir + L"\\site");
    runAndFail();
    EXPECT_EQ(readTree(dir + L"\\site"), (Tree{{L"a", "kept"}}));
    EXPECT_TRUE(contains(log, L"Rollback: the restore of folder '" + dir + L"\\site' is not undone")) << log;
    FileUndo unfinishedFile;
    unfinishedFile.before(dir + L"\\b.conf");
    writeBytes(dir + L"\\b.conf", "half written");
    RegistryValueUndo unfinishedValue;
    unfinishedValue.before(HKEY_LOCAL_MACHINE, key.subkey(), L"v", KEY_WOW64_32KEY);
    putDword(key.subkey(), L"v", 5);
    rollBackInstallation();

    EXPECT_EQ(readBytes(dir + L"\\b.conf"), "source");
    EXPECT_EQ(valueOf(key.subkey(), L"v"), L"<absent>");
    expectLines({{L"file", L"b.conf", L" is put back as it was: its action did not finish"}});
}

// The rollback and commit actions only ever remove a journal folder; with nothing to do they succeed. An
// earlier run's journal, which a crash or an older package left, goes with the next run of the stage.
TEST_F(Rollback, TheFinishingActionsTouchNothingButAJournalAndTheNextRunRemovesWhatAnEarlierRunLeft) {
    const std::wstring root = UndoJournal::root(), zeros = L"00000000-0000-0000-0000-000000000000";
    EXPECT_TRUE(UndoJournal::isRunFolder(journal.folder()));
    for (const std::wstring& folder : {root + L"\\{P}\\" + std::wstring(36, L'0'), root, root + L"\\{P}", dir,
                                       root + L"\\{P}\\..\\..\\x\\" + zeros, dir + L"\\{P}\\" + zeros})
        EXPECT_FALSE(UndoJournal::isRunFolder(folder)) << folder;
    for (const char* action : {"OnStageNormalRollback", "OnStageNormalCommit"})
        for (const std::wstring& given : {std::wstring(), dir, journal.folder()}) {
            package.setProperty(L"CustomActionData", given);
            EXPECT_EQ(package.call(action), 0u) << action;
            EXPECT_TRUE(fileExists(dir)) << action;
        }
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
        for (const auto& [wanted, name, type, sequence, entry] :
             {std::tuple{rollback, L"Undo", 3329, 4004, L"OnStageNormalRollback"},
              {commit, L"Keep", 3585, 4006, L"OnStageNormalCommit"}}) {
            if (!wanted) continue;
            sql.push_back(formatString(L"INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) VALUES "
                                       L"('%s', %d, 'TarvoCA', '%s')", std::wstring(name), type, std::wstring(entry)));
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
