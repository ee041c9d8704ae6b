// Rollback that undoes: after a critical failure the stage's earlier actions take back what they changed,
// but only what is still exactly as they left it.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "engine/action.h"
#include "engine/executor.h"
#include "msi/vmsi.h"
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

class Rollback : public ::testing::Test {
protected:
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

    MsiSession package;
    vmsi session{package.handle()};
    ActionList actions;
    std::wstring dir = tempDirectory(), log;
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
    runAndFail();

    EXPECT_EQ(readBytes(dir + L"\\rndc.conf"), "old configuration\r\n");
    EXPECT_EQ(readBytes(dir + L"\\new.conf"), "<missing>");
    DWORD type = REG_NONE;
    EXPECT_EQ(valueOf(key, L"kept", &type), L"text");
    EXPECT_EQ(type, DWORD{REG_SZ}) << "the value's type comes back too";
    HKEY gone = nullptr;
    EXPECT_NE(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, newKey.c_str(), 0, KEY_READ | KEY_WOW64_32KEY, &gone), 0)
        << "the key the row made is removed with its value";
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
          L"Rollback: file '" + files + L"made.conf.bak' was not changed: nothing to undo",
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
    EXPECT_EQ(readBytes(dir + L"\\php.ini"), "[PHP]\r\nextension=mbstring\r\n");
    EXPECT_EQ(readBytes(dir + L"\\site.conf"), "Listen 1\r\n");
    EXPECT_EQ(readTree(dir + L"\\www_upgrade.bak"), (Tree{{L"a", "a"}}));
    EXPECT_EQ(workFiles(dir), std::vector<std::wstring>{});
}
