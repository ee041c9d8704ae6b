// Secret masking: the delimiter pairs, the key-value rule on top of them, and the command-line masking.
#include <gtest/gtest.h>

#include <random>

#include "engine/masking.h"
#include "tests/testutil.h"

namespace {

struct MaskCase {
    const wchar_t* text;
    const wchar_t* masked;
};

void expectMasked(const std::vector<MaskCase>& cases, std::wstring (*masker)(const std::wstring&)) {
    for (const MaskCase& c : cases) EXPECT_EQ(masker(c.text), c.masked) << "input: " << std::wstring(c.text).size();
}

}  // namespace

TEST(Masking, ReplacesTheValueUpToTheClosingTextInAnyCase) {
    EXPECT_EQ(mask(L"run -password=abc -v", L"-password=", L" "), L"run -password=* -v");
    EXPECT_EQ(mask(L"run -password=abc", L"-password=", L" "), L"run -password=*");  // to the end
    EXPECT_EQ(mask(L"nothing here", L"-password=", L" "), L"nothing here");
    EXPECT_EQ(mask(L"a -password=1 b -password=2 c", L"-password=", L" "), L"a -password=* b -password=* c");
    EXPECT_EQ(mask(L"x -PASSWORD=abc y", L"-password=", L" "), L"x -PASSWORD=* y");
    EXPECT_EQ(mask(L"x -PassWord=abc y", L"-password=", L" "), L"x -PassWord=* y");
}

TEST(Masking, AnEmptyValueIsNotClosedAtOnce) {
    // The search for the closing text starts one character after the opening.
    EXPECT_EQ(mask(L"-password=\"\" -x \"q\"", L"-password=\"", L"\""), L"-password=\"*\"q\"");
    EXPECT_EQ(mask(L"-password=\"\"", L"-password=\"", L"\""), L"-password=\"*");
}

TEST(Masking, PairTablesKeepTheirOrder) {
    ASSERT_EQ(engineMaskPairs().size(), 10u);
    EXPECT_STREQ(engineMaskPairs()[0].opening, L"&quot;--password=");
    EXPECT_STREQ(engineMaskPairs()[9].opening, L"@@DB_USER_PASSWORD@@=");
    ASSERT_EQ(commandMaskPairs().size(), 5u);
    EXPECT_STREQ(commandMaskPairs()[0].opening, L"-database-user-password ");
    ASSERT_EQ(phpMaskPairs().size(), 1u);
    EXPECT_STREQ(phpMaskPairs()[0].closing, L"'");
}

TEST(Masking, EachEnginePairMasksItsForm) {
    const auto engine = [](const std::wstring& text) { return maskAll(text, engineMaskPairs()); };
    EXPECT_EQ(engine(L"a &quot;--password=s1 x&quot; b"), L"a &quot;--password=* b");
    EXPECT_EQ(engine(L"a -password=\"p w\" b"), L"a -password=* b");  // pair 3 takes up pair 2's output
    EXPECT_EQ(engine(L"a -passwd \"p w\" b"), L"a -passwd \"*\" b");
    EXPECT_EQ(engine(L"a -password p w\" b"), L"a -password *\" b");
    EXPECT_EQ(engine(L"a,-password,s\" b"), L"a,-password,*\" b");
    // "-password " (pair 5) already matches inside this option and, with no quote after it, masks to the end.
    EXPECT_EQ(engine(L"a -database-user-password s b"), L"a -database-user-password *");
    EXPECT_EQ(engine(L"ADMIN_PASSWORD$=s\" b"), L"ADMIN_PASSWORD$=*\" b");
    EXPECT_EQ(engine(L"@@DATABASE_PASSWORD@@=s,k=v"), L"@@DATABASE_PASSWORD@@=*,k=v");
    EXPECT_EQ(engine(L"@@DB_USER_PASSWORD@@=s\" b"), L"@@DB_USER_PASSWORD@@=*\" b");
    // The quoted long option is closed at its entity first; only then does the bare option reach the next blank.
    const std::wstring text = L"tool &quot;--password=s1 x&quot; y";
    EXPECT_EQ(engine(text), L"tool &quot;--password=* y");
    EXPECT_NE(engine(text), mask(mask(text, L"-password=", L" "), L"&quot;--password=", L"&quot;"));
}

TEST(Masking, EveryKeyValueFormOfASecretIsMasked) {
    expectMasked(
        {
            // The forms the pairs do not know, in any letter case.
            {L"tool -Password=Secret1 -v", L"tool -Password=* -v"},
            {L"setup /DBPASSWORD=Secret1 /q", L"setup /DBPASSWORD=* /q"},
            {L"Server=db;Uid=sa;PWD=Secret1;Database=x", L"Server=db;Uid=sa;PWD=*"},
            {L"tool --db-pwd Secret1 --next", L"tool --db-pwd * --next"},
            {L"password: Secret1", L"password: *"},
            {L"Pwd = Secret1 and more", L"Pwd = * and more"},
            {L"{\"user\": \"u\", \"password\": \"Sec ret\"}", L"{\"user\": \"u\", \"password\": \"*\"}"},
            {L"login -passwd 'Sec ret' -v", L"login -passwd '*' -v"},
            // A quote before the key encloses the value; a quoted value keeps its quotes.
            {L"tool \"-Password=Sec ret\" -v", L"tool \"-Password=* -v"},  // the pair takes the quote
            {L"tool /pwd=\"Sec \\\" ret\" -v", L"tool /pwd=\"*\" -v"},
            {L"parameters=\"-dbpwd=Secret1\" text=\"t\"", L"parameters=\"-dbpwd=*\" text=\"t\""},
            {L"x=&quot;-Password=Sec ret&quot; y", L"x=&quot;-Password=* y"},
            {L"tool -pwd=&quot;Sec ret&quot; y", L"tool -pwd=&quot;*&quot; y"},
            // What the pairs mask stays masked, without regard to case.
            {L"tool -PASSWORD=Secret1 -v", L"tool -PASSWORD=* -v"},
            {L"@@database_password@@=Secret1,k=v", L"@@database_password@@=*"},
            // Each line on its own: a value ends at the line's end, later lines stay readable.
            {L"a -password Secret1\r\ncode 1\nOutput: PWD=Secret2\n", L"a -password *\r\ncode 1\nOutput: PWD=*\n"},
            // Already masked text comes out as it went in.
            {L"tool -passwd \"*\" PWD=* /pwd=\"*\" \"-pwd=* -v", L"tool -passwd \"*\" PWD=* /pwd=\"*\" \"-pwd=* -v"},
        },
        &maskSecrets);
}

TEST(Masking, TextWithoutSecretValuesIsLeftAlone) {
    for (const wchar_t* text : {L"Password is wrong", L"Enter the password:", L"C:\\pwdtools\\run.exe -v",
                                L"Tarvo custom action start 10:00:00: Set the passwords", L"[OK] 100% {done}"})
        EXPECT_EQ(maskSecrets(text), text);
}

TEST(Masking, CommandLinesAreTakenApartIntoArguments) {
    expectMasked(
        {
            {L"tool.exe -password=Secret1 -v", L"tool.exe \"-password=* -v"},  // the pair takes the quote
            {L"tool.exe \"-Password=Sec ret\" other", L"tool.exe \"-Password=* other"},
            {L"\"C:\\Program Files\\t.exe\" PWD=a=b x", L"\"C:\\Program Files\\t.exe\" \"PWD=*\" x"},
            {L"tool.exe --db-pwd Secret1 -v", L"tool.exe --db-pwd * -v"},
            {L"tool.exe -password Secret1", L"tool.exe -password *"},
            {L"cmd /c echo a&b", L"cmd /c echo \"a&b\""},
            {L"  ", L""},
        },
        &maskCommandLine);
    EXPECT_EQ(maskArguments(L"tool.exe -v \"a b\""), L"tool.exe -v \"a b\"");
}

TEST(Masking, SecretKeysAreFoundInAnyCase) {
    for (const wchar_t* key : {L"password", L"DB_PASSWORD", L"passwd", L"-PassWd", L"pwd", L"/dbPWD"})
        EXPECT_TRUE(isSecretKey(key)) << std::wstring(key).size();
    for (const wchar_t* key : {L"pass", L"user", L"pw", L"word"}) EXPECT_FALSE(isSecretKey(key));
}

// Random secrets (from the password generator's alphabet) in random forms never survive.
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

TEST(Masking, AFailureKeepsItsFramesWhenAValueRunsToTheEndOfItsLine) {
    const std::wstring failure = L"error at load xml <list uilevel=\"5 -password in line 0\n   at (vxmlLoadXML line 79)\n"
                                 L"   at -password=s(executeList line 3)";
    const std::wstring masked = maskSecrets(failure);
    EXPECT_TRUE(contains(masked, L"\n   at (vxmlLoadXML line 79)\n   at -password=*")) << std::string(masked.begin(), masked.end());
    EXPECT_FALSE(contains(masked, L"s(executeList"));
    EXPECT_FALSE(contains(masked, L"in line 0"));
}
