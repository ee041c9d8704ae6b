// Hostile action scripts through the product DLL's stage entry point (fuzz/hostilescripts.h); the long runs
// are tarvo_hostile_scripts.
#include <windows.h>

#include <gtest/gtest.h>

#include "fuzz/hostilescripts.h"

TEST(HostileScripts, NeverCrashHangRunARefusedScriptOrShowAPassword) {
    const std::uint32_t seed = ::testing::UnitTest::GetInstance()->random_seed() + ::GetTickCount();
    const hostilescripts::Report report = hostilescripts::run(seed, 300);
    EXPECT_EQ(report.failure, "") << "seed " << seed;
}
