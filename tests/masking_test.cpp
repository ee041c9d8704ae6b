// Secret masking: the key-value rule, the fields of action scripts, and command lines logged as they run.
#include <gtest/gtest.h>

#include <random>

#include "engine/masking.h"
#include "tests/testutil.h"

namespace {

// Rows of a text and what the masker makes of it.
void expectMasked(const std::vector<std::pair<const wchar_t*, const wchar_t*>>& rows,
                  std::wstring (*masker)(const std::wstring&)) {
    for (const auto& [text, masked] : rows) EXPECT_EQ(masker(text), masked) << "input: " << std::wstring(text).size();
}

}  // namespace

TEST(Masking, EveryKeyValueFormOfASecretIsMaskedAndNothingElse) {
    expectMasked(
        {
            // The key-value forms, in any letter case.
            {L"tool -Password=Secret1 -v", L"tool -Password=* -v"},
            {L"setup /DBPASSWORD=Secret1 /q", L"setup /DBPASSWORD=* /q"},
            {L"\"Server=.;Uid=sa;Pwd=top secret;Database=x\"", L"\"Server=.;Uid=sa;Pwd=*;Database=x\""},
            {L"tool --db-pwd Secret1 --next", L"tool --db-pwd * --next"},
            {L"password: Secret1", L"password: *"},
            {L"Pwd = Secret1 and more", L"Pwd = *"},  // a value that may hold blanks runs to the end
            {L"@@ADMIN_PWD@@=my secret pass", L"@@ADMIN_PWD@@=*"},
            {L"{\"user\": \"u\", \"password\": \"Sec ret\"}", L"{\"user\": \"u\", \"password\": \"*\"}"},
            {L"login -passwd 'Sec ret' -v", L"login -passwd '*' -v"},
            // A quote before the key encloses the value; a quoted value keeps its quotes.
            {L"tool \"-Password=Sec ret\" -v", L"tool \"-Password=*\" -v"},
            {L"tool /pwd=\"Sec \\\" ret\" -v", L"tool /pwd=\"*\" -v"},
            {L"parameters=\"-dbpwd=Secret1\" text=\"t\"", L"parameters=\"-dbpwd=*\" text=\"t\""},
            {L"x=&quot;-Password=Sec ret&quot; y", L"x=&quot;-Password=*&quot; y"},
            {L"tool -pwd=&quot;Sec ret&quot; y", L"tool -pwd=&quot;*&quot; y"},
            // Script rows: the fields of the parameters as the factories split them, the rest of the line kept.
            {L"<action type=\"ExecPHPScript\" parameters=\"s.php,--db-password,S3cret1,/password,S3cret2,-passwd,"
             L"S3cret3,-password 'Top S3cret4'\" text=\"Run\" critical=\"1\"/>",
             L"<action type=\"ExecPHPScript\" parameters=\"s.php,--db-password,*,/password,*,-passwd,*,-password '*'\" "
             L"text=\"Run\" critical=\"1\"/>"},
            {L"<action type=\"FixIniFile\" parameters=\"my.ini,client,password,S3cret5\" text=\"t\"/><action "
             L"type=\"FixConfFile\" parameters=\"app.conf,DBPassword,S3cret6,S3cret7\" text=\"t\"/>",
             L"<action type=\"FixIniFile\" parameters=\"my.ini,client,password,*\" text=\"t\"/><action "
             L"type=\"FixConfFile\" parameters=\"app.conf,DBPassword,*,*\" text=\"t\"/>"},
            {L"<action type=\"FixTemplateFile\" parameters=\"a>b,@@ADMIN_PWD@@=my S3cret8,@@HOST@@=h\" text=\"t\"/>",
             L"<action type=\"FixTemplateFile\" parameters=\"a>b,@@ADMIN_PWD@@=*,@@HOST@@=h\" text=\"t\"/>"},
            // A command line is not split at commas.
            {L"<action type=\"Cmd\" parameters=\"cmd /c &quot;t -password=&quot;top S3cret9&quot; -v&quot;\" text=\"t\"/>",
             L"<action type=\"Cmd\" parameters=\"cmd /c &quot;t -password=&quot;*&quot; -v&quot;\" text=\"t\"/>"},
            {L"@@database_password@@=Secret1,k=v", L"@@database_password@@=*"},
            // Each line on its own: a value ends at the line's end, later lines stay readable.
            {L"a -password Secret1\r\ncode 1\nOutput: PWD=Secret2\n", L"a -password *\r\ncode 1\nOutput: PWD=*\n"},
            {L"load <list a=\"5 -password in line 0\n   at (x line 79)\n   at -password=s(executeList line 3)",
             L"load <list a=\"5 -password * line 0\n   at (x line 79)\n   at -password=* line 3)"},  // frames stay
            // Already masked text comes out as it went in, and so does text without secret values.
            {L"tool -passwd \"*\" PWD=* /pwd=\"*\" \"-pwd=* -v", L"tool -passwd \"*\" PWD=* /pwd=\"*\" \"-pwd=* -v"},
            {L"Password is wrong", L"Password is wrong"},
            {L"pass=a user=b pw=c word=d", L"pass=a user=b pw=c word=d"},
            {L"Enter the password:", L"Enter the password:"},
            {L"C:\\pwdtools\\run.exe -v", L"C:\\pwdtools\\run.exe -v"},
            {L"Tarvo custom action start: Set the passwords", L"Tarvo custom action start: Set the passwords"},
        },
        &maskSecrets);
}

TEST(Masking, CommandLinesAreLoggedAsTheyRunWithOnlyTheSecretsCut) {
    expectMasked(
        {
            {L"tool.exe -password=Secret1 -v", L"tool.exe -password=* -v"},
            {L"tool.exe \"-Password=Sec ret\" other", L"tool.exe \"-Password=*\" other"},
            {L"\"C:\\Program Files\\t.exe\" PWD=a=b x", L"\"C:\\Program Files\\t.exe\" PWD=* x"},
            {L"tool.exe --db-pwd Secret1 -v", L"tool.exe --db-pwd * -v"},
            {L"cmd /c \"t -password=\"top secret\" -v\"", L"cmd /c \"t -password=\"*\" -v\""},
            {L"cmd /c echo a & t \"/dbpwd=x y\" & echo ^<b^>", L"cmd /c echo a & t \"/dbpwd=*\" & echo ^<b^>"},
            {L"t /pwd=a\\\"b c", L"t /pwd=* c"},  // an escaped quote is part of the argument
            {L"\"C:\\Program Files\\TarvoDemo\\&\" \"x.php\" \"-password 'top secret'\" -v",
             L"\"C:\\Program Files\\TarvoDemo\\&\" \"x.php\" \"-password '*'\" -v"},
            {L"cmd /c echo a & echo b", L"cmd /c echo a & echo b"},
        },
        &maskCommandLine);
}

// The secrets are drawn from the password generator's alphabet.
TEST(Masking, RandomSecretsInKnownFormsNeverSurvive) {
    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    const std::wstring alphabet = L"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz!@#$%^&*?_~";
    const std::vector<std::wstring> keys = {L"-password", L"-Password", L"/DBPASSWORD", L"pwd", L"PWD", L"--db-pwd",
                                            L"db_passwd", L"password", L"ADMIN_PASSWORD$"};
    const std::vector<std::wstring> separators = {L"=", L" = ", L": ", L" "};
    for (int round = 0; round < 2000; ++round) {
        std::wstring secret = L"S";
        for (int i = 0; i < 12; ++i) secret += alphabet[random() % alphabet.size()];
        const std::wstring& key = keys[random() % keys.size()];
        std::wstring separator = separators[random() % separators.size()];
        // A blank alone separates only an option from its value.
        if (separator == L" " && key[0] != L'-' && key[0] != L'/') separator = L"=";
        std::wstring value = secret;
        switch (random() % 4) {
            case 1: value = L"\"" + secret + L" x\""; break;
            case 2: value = L"'" + secret + L" x'"; break;
            case 3: value = L"&quot;" + secret + L" x&quot;"; break;
        }
        const std::wstring text = L"run " + key + separator + value + L" -next";
        const std::wstring masked = maskSecrets(text);
        ASSERT_FALSE(contains(masked, secret)) << "seed " << seed << " round " << round << ": " << std::string(masked.begin(), masked.end());
    }
}
