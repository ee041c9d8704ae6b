// ExecPHPScript rows through real installer sessions and the product DLL, against the stand-in management
// and impersonation services and the stand-in PHP at the product root: what the script receives, its output
// in the log, the failure text, masking, and what rollback says.
#include <gtest/gtest.h>

#include <shlobj.h>

#include "runtime/errors/codepage.h"
#include "tests/msisession.h"
#include "tests/sidservice.h"

namespace {

std::string sized(const std::wstring& text) {
    const std::string bytes = utf16(text);
    const auto length = static_cast<std::uint32_t>(bytes.size());
    return std::string(reinterpret_cast<const char*>(&length), sizeof length) + bytes;
}

// A product root with the stand-in PHP and two scripts, and the two services the rows need.
struct Product {
    std::wstring root = tempDirectory() + L"\\product";
    std::wstring php = root + L"\\admin\\engine\\php.exe";
    std::wstring scripts = root + L"\\admin\\scripts";
    MgmtService management{{L"--set", L"PRODUCT_ROOT_D=" + root}};
    ScopedConfigValue managementPipe{L"hvcpipe", management.name()};
    SidService impersonation;

    Product() {
        ::SHCreateDirectoryExW(nullptr, (root + L"\\admin\\engine").c_str(), nullptr);
        ::SHCreateDirectoryExW(nullptr, scripts.c_str(), nullptr);
        ::CopyFileW((programFolder() + L"\\tarvo_php.exe").c_str(), php.c_str(), FALSE);
        writeBytes(scripts + L"\\ok.php", "<?php\n// nothing to do\n");
        writeBytes(scripts + L"\\fail.php", "<?php\nexit(255);\n");
    }
};

}  // namespace

// One stage, one product: a script that succeeds and then one that fails. Empty fields make no arguments; an
// argument with a blank or a quote is quoted, the quote escaped. (The e2e install scenario shows the command
// line, the script's output and its environment in the log.)
TEST(PhpRows, TheScriptGetsItsArgumentsAsTheSystemAndAFailureCarriesBothStreamsWithSecretsMasked) {
    const Product product;
    const auto script = [&](const wchar_t* name) { return product.scripts + L"\\" + name; };
    MsiSession package;
    package.setProperty(
        L"Action_OnStagePostinstall",
        scriptXml(actionXml(L"ExecPHPScript", L",admin\\scripts\\ok.php,,a b,say \"hi\",c,", L"Run") +
                  actionXml(L"ExecPHPScript", L"admin\\scripts\\fail.php,-password 'Se7-php'", L"Fail")));
    EXPECT_EQ(package.call("OnStagePostinstall"), 1603u);
    EXPECT_TRUE(contains(package.log(), L"Action 'Run' finished successfully"));
    // What the service was asked: the product's PHP on the script, in the script's folder, as S-1-5-18.
    const std::string record = product.impersonation.record();
    const std::wstring commandLine =
        L"\"" + product.php + L"\" -q \"" + script(L"ok.php") + L"\"  \"a b\" \"say \\\"hi\\\"\" c";
    EXPECT_NE(record.find(sized(commandLine) + sized(product.scripts) +
                          sized(std::wstring(L"TARVO_INTERNAL_PHP_EXEC=1\0\0", 27))),
              std::string::npos);
    EXPECT_NE(record.find(sized(L"S-1-5-18")), std::string::npos);
    EXPECT_NE(record.find(utf16(L"-password 'Se7-php'")), std::string::npos);  // the real value
    for (const InstallerMessage& m : package.messages()) EXPECT_FALSE(contains(m.text, L"Se7-php")) << cstr(m.text, CP_UTF8);

    const std::vector<std::wstring> errors = package.texts(kError);
    ASSERT_EQ(errors.size(), 1u);
    const std::wstring& error = errors[0];
    EXPECT_TRUE(contains(error, L"Execution of PHP script '")) << cstr(error, CP_UTF8);
    EXPECT_TRUE(contains(error, L"fail.php\"  \"-password '*'\"' failed with code = 255. Output: php: argument 1: -q\r\n"))
        << cstr(error, CP_UTF8);
    EXPECT_TRUE(contains(error, L"php: argument 3: -password '*'\r\n"));
    // The last line has no line feed; standard error follows.
    EXPECT_TRUE(contains(error, L"php: TARVO_INTERNAL_PHP_EXEC=1\r\nphp: done\n Stderr: php: " + script(L"fail.php") +
                                    L" exits with 255\r\n\n"));
    EXPECT_TRUE(contains(error, L"ExecPHPScript(admin\\scripts\\fail.php)"));
    EXPECT_TRUE(contains(error, L"ExecPHPScriptAction::Commit"));
    // In the log as well, the unended last line once for each script.
    const std::vector<std::wstring> info = package.texts(kInfo);
    EXPECT_EQ(std::count(info.begin(), info.end(), L"php: done"), 2);
}
