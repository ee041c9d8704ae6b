// "FormBINDKey" and "WriteRegistryDWORD" run from a stage script to their effect.
#include <gtest/gtest.h>

#include "actions/bindregistry.h"

#include <tuple>
#include <utility>

#include "msi/vmsi.h"
#include "runtime/filesystem/replacefile.h"
#include "tests/msisession.h"
#include "tests/testutil.h"

namespace {

const std::string bindHeader =
    "options {\r\n\tdefault-server\tlocalhost;\r\n\tdefault-key\trndc-key;\r\n};\r\n"
    "server localhost {\r\n\tkey\trndc-key;\r\n};\r\n";

BOOL WINAPI bindRefusedReplace(LPCWSTR, LPCWSTR, LPCWSTR, DWORD, LPVOID, LPVOID) {
    ::SetLastError(ERROR_DISK_FULL);
    return FALSE;
}

class BindAndDwordRows : public ::testing::Test {
protected:
    UINT run(const wchar_t* type, const std::wstring& parameters) {
        package.clearMessages();
        package.setProperty(L"Action_OnStagePostinstall", scriptXml(actionXml(type, parameters, L"Row")));
        return package.call("OnStagePostinstall");
    }
    MsiSession package;
    std::wstring dir = tempDirectory();
};

}  // namespace

// The header, then the key file with CR LF line ends (never doubled); the key file is read at its real path,
// which the log shows masked; no work file is left.
TEST_F(BindAndDwordRows, BindKeyWritesTheHeaderThenTheKeyFileWithCrLf) {
    for (const auto& [keyFile, key, expected] : {
             std::tuple{L"\\rndc.key", std::string("a\nb\r\n"), "a\r\nb\r\n"},
             {L"\\rndc.key", std::string(), ""},
             {L"\\key -password=Secret7 x.key", std::string("k"), "k"}}) {
        writeBytes(dir + keyFile, key);
        ASSERT_EQ(run(L"FormBINDKey", dir + L"\\rndc.conf," + dir + keyFile), 0u) << package.log();
        EXPECT_EQ(readBytes(dir + L"\\rndc.conf"), bindHeader + expected);
        EXPECT_EQ(readBytes(dir + L"\\rndc.conf.new"), "<missing>");
    }
    EXPECT_TRUE(contains(package.log(), L"\\key -password=* x.key")) << package.log();
    EXPECT_FALSE(contains(package.log(), L"Secret7"));
}

// An existing configuration only ever changes through ReplaceFileW, which keeps its security descriptor,
// attributes and streams (Wine keeps none of them, so here the swap is refused to show that it is the way).
TEST_F(BindAndDwordRows, BindKeyFailuresNameTheFileAndLeaveTheOldConfigurationAndNoPartialFile) {
    writeBytes(dir + L"\\rndc.conf", "old configuration\r\n");
    EXPECT_EQ(run(L"FormBINDKey", dir + L"\\rndc.conf," + dir + L"\\missing.key"), 1603u);
    ASSERT_EQ(package.texts(kError).size(), 1u);
    const std::wstring error = package.texts(kError)[0];
    EXPECT_TRUE(contains(error, L"(Error code 2) at Open file '" + dir + L"\\missing.key'")) << error;
    EXPECT_TRUE(contains(error, L"at Unable to read the key file '" + dir + L"\\missing.key'")) << error;

    writeBytes(dir + L"\\rndc.key", "k");
    EXPECT_EQ(run(L"FormBINDKey", dir + L"\\no-such-dir\\rndc.conf," + dir + L"\\rndc.key"), 1603u);
    EXPECT_TRUE(anyContains(package.texts(kError), L"(Error code 3) at Open file '" + dir + L"\\no-such-dir\\rndc.conf.new'"));
    EXPECT_TRUE(anyContains(package.texts(kError), L"at Unable to write the file '" + dir + L"\\no-such-dir\\rndc.conf.new'"));

    const auto previous = std::exchange(replacefile_detail::replaceFunction, &bindRefusedReplace);
    vmsi session(package.handle());  // in this process, where the refusing swap is in place
    const Failure failure = failureOf([&] {
        FormBINDKeyAction::CreateAction(dir + L"\\rndc.conf," + dir + L"\\rndc.key", L"t")->execute(session);
    });
    FormBINDKeyAction::CreateAction(dir + L"\\new.conf," + dir + L"\\rndc.key", L"t")->execute(session);
    replacefile_detail::replaceFunction = previous;
    EXPECT_EQ(failure.code, ERROR_DISK_FULL) << failure.message;
    EXPECT_TRUE(contains(failure.message, L"Unable to replace the file '" + dir + L"\\rndc.conf'")) << failure.message;
    EXPECT_EQ(readBytes(dir + L"\\rndc.conf"), "old configuration\r\n");
    EXPECT_EQ(readBytes(dir + L"\\new.conf"), bindHeader + "k") << "a new file has nothing to keep: it is moved there";
    for (const wchar_t* work : {L"\\rndc.conf.new", L"\\new.conf.new", L"\\no-such-dir\\rndc.conf.new"})
        EXPECT_EQ(readBytes(dir + work), "<missing>");
}

// _wtoi's reading of the value, in the 32-bit view only (the end-to-end installation reads it under WOW6432Node);
// a key the registry refuses (a component longer than 255 characters) is named in the failure with the value.
TEST_F(BindAndDwordRows, DwordLandsInThe32BitViewWithWtoiValuesAndAFailureNamesKeyAndValue) {
    ScopedTestKey key(L"dword");
    for (const auto& [text, expected] : {std::pair{L"12abc", 12u}, {L"-1", 0xFFFFFFFFu}, {L"abc", 0u}}) {
        ASSERT_EQ(run(L"WriteRegistryDWORD", L"LM," + key.subkey() + L",v," + text), 0u) << package.log();
        DWORD value = 1;
        ASSERT_TRUE(key.readDword(L"v", value, KEY_WOW64_32KEY));
        EXPECT_EQ(value, expected) << text;
    }
    DWORD value = 0;
    EXPECT_FALSE(key.readDword(L"v", value, KEY_WOW64_64KEY));
    const std::wstring refused = L"SOFTWARE\\" + std::wstring(300, L'k');
    EXPECT_EQ(run(L"WriteRegistryDWORD", L"LM," + refused + L",v,-5"), 1603u);
    EXPECT_TRUE(anyContains(package.texts(kError), L"at Set Registry value " + refused +
                                                       L" to DWORD(-5)\n   at (WriteRegistryDWORD::Commit line"));
}
