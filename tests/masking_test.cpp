#include <gtest/gtest.h>

#include "engine/masking.h"

TEST(Masking, ReplacesTheValueUpToTheClosingText) {
    EXPECT_EQ(mask(L"run -password=abc -v", L"-password=", L" "), L"run -password=* -v");
    EXPECT_EQ(mask(L"run -password=abc", L"-password=", L" "), L"run -password=*");  // to the end
    EXPECT_EQ(mask(L"nothing here", L"-password=", L" "), L"nothing here");
    EXPECT_EQ(mask(L"a -password=1 b -password=2 c", L"-password=", L" "), L"a -password=* b -password=* c");
    EXPECT_EQ(mask(L"x -PASSWORD=abc y", L"-password=", L" "), L"x -PASSWORD=abc y");  // case-sensitive
}

TEST(Masking, AnEmptyValueIsNotClosedAtOnce) {
    // The search for the closing text starts one character after the opening.
    EXPECT_EQ(mask(L"-password=\"\" -x \"q\"", L"-password=\"", L"\""), L"-password=\"*\"q\"");
    EXPECT_EQ(mask(L"-password=\"\"", L"-password=\"", L"\""), L"-password=\"*");
}

TEST(Masking, EnginePairsCoverTheScriptForms) {
    const std::wstring script =
        L"<actionslist uilevel=\"5\"><action type=\"Cmd\" parameters=\"tool &quot;--password=S1&quot; "
        L"-password=S2 -passwd &quot;x&quot; -database-user-password S3 end\" text=\"t\" critical=\"1\"/>"
        L"<action type=\"FixTemplateFile\" parameters=\"in,out,@@DATABASE_PASSWORD@@=S4,k=v\" text=\"t\"/>"
        L"<action type=\"Cmd\" parameters=\"x ADMIN_PASSWORD$=S5\" text=\"t\"/></actionslist>";
    const std::wstring masked = maskScript(script);
    for (const wchar_t* secret : {L"S1", L"S2", L"S3", L"S4", L"S5"})
        EXPECT_EQ(masked.find(secret), std::wstring::npos) << "leaked " << secret << " in " << masked.size();
    EXPECT_NE(masked.find(L"&quot;--password=*"), std::wstring::npos);
    EXPECT_NE(masked.find(L"@@DATABASE_PASSWORD@@=*,k=v"), std::wstring::npos);
    EXPECT_NE(masked.find(L"<actionslist uilevel=\"5\">"), std::wstring::npos);
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
    const auto engine = [](const std::wstring& text) { return maskScript(text); };
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
}

TEST(Masking, ThePairsRunInTheirOrder) {
    // The quoted long option is closed at its entity first; only then does the bare option reach the next blank.
    const std::wstring text = L"tool &quot;--password=s1 x&quot; y";
    EXPECT_EQ(maskScript(text), L"tool &quot;--password=* y");
    EXPECT_NE(maskScript(text), mask(mask(text, L"-password=", L" "), L"&quot;--password=", L"&quot;"));
    EXPECT_EQ(maskAll(L"php -password=\"p q\" -passwd \"r\" -v", commandMaskPairs()), L"php -password=* -passwd \"*\" -v");
    EXPECT_EQ(maskAll(L"tool -database-user-password d -x", commandMaskPairs()), L"tool -database-user-password *");
    EXPECT_EQ(maskAll(L"php setup.php -password 'se cret' -v", phpMaskPairs()), L"php setup.php -password *' -v");
}
