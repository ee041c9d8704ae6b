// Random and mutated management-service replies through the serializer's reader and the pipe channel:
//   tarvo_fuzz_replies [SEED [COUNT]]
// COUNT replies (default 100000) in each run, reproducible from SEED (default: the clock, printed). Prints how
// often each outcome came; exit code 1 with the failure (seed and iteration included) when a run failed.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "fuzz/replyfuzz.h"

namespace {

bool print(const char* run, std::uint32_t seed, std::uint32_t count, const replyfuzz::Report& report, double seconds) {
    std::printf("%s: seed %u, %u replies in %.1f s\n", run, seed, count, seconds);
    for (const auto& [outcome, times] : report.outcomes) std::printf("  %7u  %s\n", times, outcome.c_str());
    if (!report.failure.empty()) std::printf("FAILED: %s\n", report.failure.c_str());
    std::fflush(stdout);
    return report.failure.empty();
}

template <typename Run>
bool timed(const char* name, std::uint32_t seed, std::uint32_t count, Run&& run) {
    const ULONGLONG start = ::GetTickCount64();
    const replyfuzz::Report report = run(seed, count);
    return print(name, seed, count, report, double(::GetTickCount64() - start) / 1000);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::uint32_t seed = argc > 1 ? static_cast<std::uint32_t>(std::wcstoul(argv[1], nullptr, 10))
                                        : static_cast<std::uint32_t>(::GetTickCount64());
    const std::uint32_t count = argc > 2 ? static_cast<std::uint32_t>(std::wcstoul(argv[2], nullptr, 10)) : 100000;
    const bool reader = timed("reader", seed, count, replyfuzz::runReader);
    const bool client = timed("client", seed, count, replyfuzz::runClient);
    return reader && client ? 0 : 1;
}
