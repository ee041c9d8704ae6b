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

class BindAndDwordRows : public ::testing::Test {
protected:
    UINT run(const std::wstring& parameters, const std::wstring& critical = L"1") {
        package.clearMessages();
        package.setProperty(L"Action_OnStagePostinstall",
                            scriptXml(actionXml(L"FormBINDKey", parameters, L"Write rndc.conf", critical)));
        return package.call("OnStagePostinstall");
    }
    MsiSession package;
    std::wstring dir = tempDirectory();
};

}  // namespace

// The header, then the key file with CR LF line ends (a key file with CR LF unchanged), and no work file left.
TEST_F(BindAndDwordRows, BindKeyWritesTheHeaderThenTheKeyFileWithCrLf) {
    std::string crlfKey;
    for (char c : keyStatement) crlfKey += c == '\n' ? std::string("\r\n") : std::string(1, c);
    for (const auto& [key, expected] : {std::pair{keyStatement, expectedHeader + crlfKey}, {crlfKey, expectedHeader + crlfKey},
                                        {std::string(), expectedHeader}}) {
        writeBytes(dir + L"\\rndc.key", key);
        ASSERT_EQ(run(dir + L"\\rndc.conf," + dir + L"\\rndc.key"), 0u);
        EXPECT_EQ(readBytes(dir + L"\\rndc.conf"), expected);
        EXPECT_EQ(readBytes(dir + L"\\rndc.conf.new"), "<missing>");
    }
    // The action uses the real path while the log shows it masked.
    const std::wstring keyFile = dir + L"\\key -password=Secret7 x.key";
    writeBytes(keyFile, "k");
    ASSERT_EQ(run(dir + L"\\rndc.conf," + keyFile), 0u);
    EXPECT_EQ(readBytes(dir + L"\\rndc.conf"), expectedHeader + "k");
    EXPECT_TRUE(contains(package.log(), L"\\key -password=* x.key")) << package.log().size();
    EXPECT_FALSE(contains(package.log(), L"Secret7"));
}

TEST_F(BindAndDwordRows, BindKeyFailuresNameTheFileAndLeaveNoPartialFile) {
    writeBytes(dir + L"\\rndc.conf", "old configuration\r\n");
    EXPECT_EQ(run(dir + L"\\rndc.conf," + dir + L"\\missing.key"), 1603u);
    ASSERT_EQ(package.texts(kError).size(), 1u);
    const std::wstring error = package.texts(kError)[0];
    EXPECT_TRUE(contains(error, L"(Error code 2) at Open file '" + dir + L"\\missing.key'")) << error;
    EXPECT_TRUE(contains(error, L"at Unable to read the key file '" + dir + L"\\missing.key'")) << error;
    EXPECT_EQ(readBytes(dir + L"\\rndc.conf"), "old configuration\r\n");

    writeBytes(dir + L"\\rndc.key", keyStatement);
    EXPECT_EQ(run(dir + L"\\no-such-dir\\rndc.conf," + dir + L"\\rndc.key"), 1603u);
    EXPECT_TRUE(anyContains(package.texts(kError), L"(Error code 3) at Open file '" + dir + L"\\no-such-dir\\rndc.conf.new'"));
    EXPECT_TRUE(anyContains(package.texts(kError), L"at Unable to write the file '" + dir + L"\\no-such-dir\\rndc.conf.new'"));
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

TEST_F(BindAndDwordRows, BindKeyReplacesAnExistingConfigurationInPlaceAndMovesANewOneThere) {
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

TEST_F(BindAndDwordRows, DwordLandsInThe32BitViewWithWtoiValues) {
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

TEST_F(BindAndDwordRows, DwordWriteFailureReportsTheKeyAndValue) {
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
