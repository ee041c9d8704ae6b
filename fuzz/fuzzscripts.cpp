// Malformed and mutated action scripts through the product DLL's stage entry point (fuzz/hostilescripts.h):
//   tarvo_hostile_scripts [SEED [COUNT]]
// COUNT scripts (default 10000), reproducible from SEED (default: the clock, printed). Prints how often each
// kind of script ended with which result; exit code 1 with the failure (seed and iteration included).
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <cwchar>

#include "fuzz/hostilescripts.h"

int wmain(int argc, wchar_t** argv) {
    const std::uint32_t seed = argc > 1 ? static_cast<std::uint32_t>(std::wcstoul(argv[1], nullptr, 10))
                                        : static_cast<std::uint32_t>(::GetTickCount64());
    const std::uint32_t count = argc > 2 ? static_cast<std::uint32_t>(std::wcstoul(argv[2], nullptr, 10)) : 10000;
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);  // as in the installer's custom-action host
    const ULONGLONG start = ::GetTickCount64();
    const hostilescripts::Report report = hostilescripts::run(seed, count);
    std::printf("hostile scripts: seed %u, %u scripts in %.1f s\n", seed, count, double(::GetTickCount64() - start) / 1000);
    for (const auto& [outcome, times] : report.outcomes) std::printf("  %7u  %s\n", times, outcome.c_str());
    if (!report.failure.empty()) std::printf("FAILED: %s\n", report.failure.c_str());
    ::CoUninitialize();
    return report.failure.empty() ? 0 : 1;
}
