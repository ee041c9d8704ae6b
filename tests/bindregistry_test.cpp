// "FormBINDKey" and "WriteRegistryDWORD" run from a stage script to their effect.
#include <gtest/gtest.h>

#include "actions/bindregistry.h"

#include <utility>

#include "runtime/filesystem/replacefile.h"
#include "runtime/filesystem/vfilename.h"
#include "msi/vmsi.h"
#include "tests/msisession.h"
#include "tests/testutil.h"

namespace {

const std::string expectedHeader =
    "options {\r\n\tdefault-server\tlocalhost;\r\n\tdefault-key\trndc-key;\r\n};\r\n"
    "server localhost {\r\n\tkey\trndc-key;\r\n};\r\n";

// Key file content in the form a key generator writes it (LF line ends).
const std::string keyStatement =
    "key \"rndc-key\" {\n\talgorithm hmac-sha256;\n\tsecret \"0y7tzD7Cw+X3m3wuRGbe1QGUEwrJxFJx5Yg8J3Y8h0o=\";\n};\n";

class BindKey : public ::testing::Test {
protected:
    UINT run(const std::wstring& parameters, const std::wstring& critical = L"1") {
        package.setProperty(L"Action_OnStagePostinstall",
                            scriptXml(actionXml(L"FormBINDKey", parameters, L"Write rndc.conf", critical)));
        return package.call("OnStagePostinstall");
    }
    MsiSession package;
    std::wstring dir = tempDirectory();
};

}  // namespace

TEST_F(BindKey, WritesTheHeaderThenTheKeyFileWithCrLf) {
    writeBytes(dir + L"\\rndc.key", keyStatement);
    ASSERT_EQ(run(dir + L"\\rndc.conf," + dir + L"\\rndc.key"), 0u);
    std::string crlfKey;
    for (char c : keyStatement) crlfKey += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_EQ(readBytes(dir + L"\\rndc.conf"), expectedHeader + crlfKey);
    EXPECT_EQ(readBytes(dir + L"\\rndc.conf.new"), "<missing>");
}

TEST_F(BindKey, AKeyFileWithCrLfIsCopiedUnchanged) {
    const std::string crlf = "key \"rndc-key\" {\r\n\talgorithm hmac-md5;\r\n};\r\n";
    writeBytes(dir + L"\\rndc.key", crlf);
    ASSERT_EQ(run(dir + L"\\rndc.conf," + dir + L"\\rndc.key"), 0u);
    EXPECT_EQ(readBytes(dir + L"\\rndc.conf"), expectedHeader + crlf);
}

TEST_F(BindKey, AnEmptyKeyFileStillGivesTheHeader) {
    writeBytes(dir + L"\\empty.key", "");
    ASSERT_EQ(run(dir + L"\\rndc.conf," + dir + L"\\empty.key"), 0u);
    EXPECT_EQ(readBytes(dir + L"\\rndc.conf"), expectedHeader);
}

TEST_F(BindKey, TheActionUsesTheRealPathWhileTheLogShowsItMasked) {
    const std::wstring keyFile = dir + L"\\key -password=Secret7 x.key";
    writeBytes(keyFile, keyStatement);
    ASSERT_EQ(run(dir + L"\\rndc.conf," + keyFile), 0u);
    EXPECT_EQ(readBytes(dir + L"\\rndc.conf").substr(0, expectedHeader.size() + 5), expectedHeader + "key \"");
    EXPECT_TRUE(contains(package.log(), L"\\key -password=* x.key")) << package.log().size();
    EXPECT_FALSE(contains(package.log(), L"Secret7"));
}

TEST_F(BindKey, AMissingKeyFileNamesTheFileAndKeepsTheOldConfiguration) {
    writeBytes(dir + L"\\rndc.conf", "old configuration\r\n");
    EXPECT_EQ(run(dir + L"\\rndc.conf," + dir + L"\\missing.key"), 1603u);
    const std::vector<std::wstring> errors = package.texts(kError);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_TRUE(contains(errors[0], L"(Error code 2) at Open file '" + dir + L"\\missing.key'")) << errors[0];
    EXPECT_TRUE(contains(errors[0], L"at Unable to read the key file '" + dir + L"\\missing.key'"))
        << errors[0];
    EXPECT_EQ(readBytes(dir + L"\\rndc.conf"), "old configuration\r\n");
}

TEST_F(BindKey, AnUnwritableTargetFailsWithoutLeavingAPartialFile) {
    writeBytes(dir + L"\\rndc.key", keyStatement);
    EXPECT_EQ(run(dir + L"\\no-such-dir\\rndc.conf," + dir + L"\\rndc.key"), 1603u);
    EXPECT_TRUE(anyContains(package.texts(kError), L"(Error code 3) at Open file '" + dir +
                                                       L"\\no-such-dir\\rndc.conf.new'"));
    EXPECT_TRUE(anyContains(package.texts(kError), L"at Unable to write the file '" + dir +
                                                       L"\\no-such-dir\\rndc.conf.new'"));
    EXPECT_EQ(readBytes(dir + L"\\no-such-dir\\rndc.conf.new"), "<missing>");
}

// An existing configuration is replaced so that it keeps its security descriptor, attributes and streams:
// through ReplaceFileW, never a move over it. (Wine stores no file access lists, so the test sees what is
// asked of the system.)
std::vector<std::pair<std::wstring, std::wstring>> replaceCalls;
BOOL WINAPI recordReplace(LPCWSTR replaced, LPCWSTR replacement, LPCWSTR backup, DWORD flags, LPVOID exclude,
                          LPVOID reserved) {
    replaceCalls.emplace_back(replaced, replacement);
    return ::ReplaceFileW(replaced, replacement, backup, flags, exclude, reserved);
}

TEST_F(BindKey, AnExistingConfigurationIsReplacedInPlaceANewOneMovedThere) {
    auto& calls = replaceCalls;
    calls.clear();
    const auto previous = std::exchange(replacefile_detail::replaceFunction, &recordReplace);
    vmsi session(package.handle());  // in this process, where the recorder is in place
    const auto write = [&](const std::wstring& config) {
        FormBINDKeyAction::CreateAction(config + L"," + dir + L"\\rndc.key", L"t")->execute(session);
    };
    writeBytes(dir + L"\\rndc.key", keyStatement);
    write(dir + L"\\new.conf");
    EXPECT_TRUE(calls.empty()) << "a new file has nothing to keep";
    EXPECT_EQ(readBytes(dir + L"\\new.conf").substr(0, expectedHeader.size()), expectedHeader);

    writeBytes(dir + L"\\rndc.conf", "old configuration\r\n");
    ASSERT_TRUE(::SetFileAttributesW((dir + L"\\rndc.conf").c_str(), FILE_ATTRIBUTE_HIDDEN));
    write(dir + L"\\rndc.conf");
    replacefile_detail::replaceFunction = previous;
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].first, VFileName::toLongPath(dir + L"\\rndc.conf"));
    EXPECT_EQ(calls[0].second, VFileName::toLongPath(dir + L"\\rndc.conf.new"));
    EXPECT_EQ(readBytes(dir + L"\\rndc.conf").substr(0, expectedHeader.size()), expectedHeader);
    EXPECT_EQ(readBytes(dir + L"\\rndc.conf.new"), "<missing>");
    // Wine's ReplaceFileW moves the new file over the old one and keeps nothing of it.
    if (!runningUnderWine()) {
        EXPECT_TRUE(::GetFileAttributesW((dir + L"\\rndc.conf").c_str()) & FILE_ATTRIBUTE_HIDDEN);
    }
}

TEST(RegistryDword, LandsInThe32BitViewWithWtoiValues) {
    MsiSession package;
    ScopedTestKey key(L"dword");
    std::wstring actions;
    for (const auto& [name, text] : {std::pair{L"digits", L"12abc"}, {L"minus", L"-1"}, {L"letters", L"abc"}})
        actions += actionXml(L"WriteRegistryDWORD", L"LM," + key.subkey() + L"," + name + L"," + text, name);
    package.setProperty(L"Action_OnStagePostinstall", scriptXml(actions));
    ASSERT_EQ(package.call("OnStagePostinstall"), 0u);
    DWORD value = 0;
    ASSERT_TRUE(key.readDword(L"digits", value, KEY_WOW64_32KEY));
    EXPECT_EQ(value, 12u);
    ASSERT_TRUE(key.readDword(L"minus", value, KEY_WOW64_32KEY));
    EXPECT_EQ(value, 0xFFFFFFFFu);
    ASSERT_TRUE(key.readDword(L"letters", value, KEY_WOW64_32KEY));
    EXPECT_EQ(value, 0u);
    // The 32-bit view of HKLM\SOFTWARE is the WOW6432Node branch of the 64-bit one.
    DWORD size = sizeof value;
    EXPECT_EQ(::RegGetValueW(HKEY_LOCAL_MACHINE, (L"SOFTWARE\\WOW6432Node" + key.subkey().substr(8)).c_str(), L"digits",
                             RRF_RT_REG_DWORD | RRF_SUBKEY_WOW6464KEY, nullptr, &value, &size),
              ERROR_SUCCESS);
    EXPECT_FALSE(key.readDword(L"digits", value, KEY_WOW64_64KEY));
}

TEST(RegistryDword, AFailedWriteReportsTheKeyAndValue) {
    MsiSession package;
    vmsi session(package.handle());
    // A subkey path of more than 255 characters in one component is refused by the registry.
    const std::wstring subkey = L"SOFTWARE\\" + std::wstring(300, L'k');
    auto action = WriteRegistryDWORD::CreateAction(L"LM," + subkey + L",v,-5", L"t");
    try {
        action->execute(session);
        ADD_FAILURE() << "write succeeded";
    } catch (const vosexception& e) {
        EXPECT_TRUE(contains(e.message(), L"at Set Registry value " + subkey + L" to DWORD(-5)")) << e.message();
        EXPECT_EQ(e.frames().at(0).function, "WriteRegistryDWORD::Commit");
    }
}
