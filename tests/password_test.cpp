#include <gtest/gtest.h>

#include <array>
#include <set>

#include "engine/password.h"
#include "tests/msisession.h"
#include "tests/testutil.h"

namespace {

int classOf(wchar_t c) {
    if (c >= L'0' && c <= L'9') return 0;
    if (c >= L'A' && c <= L'Z') return 1;
    if (c >= L'a' && c <= L'z') return 2;
    if (std::wstring_view(L"!@#$%^&*?_~").find(c) != std::wstring_view::npos) return 3;
    return -1;
}

}  // namespace

TEST(Password, FourOfEachClassNoRepeatsAndNoPositionalBias) {
    EXPECT_EQ(generatePassword(0), L"");
    EXPECT_EQ(generatePassword(-1), L"");
    EXPECT_EQ(generatePassword(5).size(), 5u);
    constexpr int count = 1000;
    std::set<std::wstring> seen;
    std::array<std::array<int, 4>, 16> perPosition{};
    for (int n = 0; n < count; ++n) {
        const std::wstring password = generatePassword(16);
        ASSERT_EQ(password.size(), 16u);
        std::array<int, 4> perClass{};
        for (size_t i = 0; i < password.size(); ++i) {
            const int c = classOf(password[i]);
            ASSERT_GE(c, 0) << "unexpected character";
            ++perClass[c];
            ++perPosition[i][c];
        }
        EXPECT_EQ(perClass, (std::array<int, 4>{4, 4, 4, 4}));
        seen.insert(password);
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(count));
    // Chi-square with 3 degrees of freedom per position: 30 lies far beyond any chance result (p < 1e-5) and far
    // below what a rotation without a full shuffle gives.
    for (size_t i = 0; i < 16; ++i) {
        double chi = 0;
        for (int c = 0; c < 4; ++c) {
            const double off = perPosition[i][c] - count / 4.0;
            chi += off * off / (count / 4.0);
        }
        EXPECT_LT(chi, 30.0) << "position " << i;
    }
    // Four characters show a shuffle that never leaves a character in its place: each class must be seen at
    // each position (expected 100 times in 400, 50 is six standard deviations off).
    std::array<std::array<int, 4>, 4> short4{};
    for (int n = 0; n < 400; ++n) {
        const std::wstring password = generatePassword(4);
        for (size_t i = 0; i < 4; ++i) ++short4[i][classOf(password[i]) & 3];
    }
    for (size_t i = 0; i < 4; ++i)
        for (int c = 0; c < 4; ++c) EXPECT_GT(short4[i][c], 50) << "class " << c << " at position " << i;
    std::array<int, 11> below{};
    for (int i = 0; i < 22000; ++i) ++below[randomBelow(11)];
    for (int c : below) EXPECT_NEAR(c, 2000, 250);  // unbiased for a bound that divides no power of two
}

TEST(Password, TheActionFillsTheNamedPropertyAnewEachTimeAndFailsWithoutOne) {
    MsiSession package;
    EXPECT_EQ(package.call("GetPassword"), 1603u);
    const std::vector<std::wstring> errors = package.texts(kError);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_TRUE(contains(errors[0], L"SetMsiProperty \n") || contains(errors[0], L"SetMsiProperty (")) << errors[0];
    EXPECT_TRUE(contains(errors[0], L"GetPassword(GetPassword line")) << errors[0];

    ScopedDebugLogging debug(true);  // every level reaches the installer's log
    package.setProperty(L"GET_PASSWORD_PROPERTY", L"DB_PASSWORD");
    ASSERT_EQ(package.call("GetPassword"), 0u);
    const std::wstring first = package.property(L"DB_PASSWORD");
    EXPECT_EQ(first.size(), 16u);
    EXPECT_EQ(package.property(L"GET_PASSWORD_PROPERTY"), L"DB_PASSWORD");
    ASSERT_EQ(package.call("GetPassword"), 0u);
    EXPECT_NE(package.property(L"DB_PASSWORD"), first);
    EXPECT_FALSE(contains(package.log(), first));
}
