#pragma once
// For long seeded runs (fuzzing): ends the process with the run's name, seed and iteration on standard error
// when the run stops making progress for a minute, or when an exception nobody handles is about to end it.
// Either would otherwise leave no trace of what to repeat.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <thread>

class Watchdog {
public:
    Watchdog(const char* run, std::uint32_t seed) : run_(run), seed_(seed), thread_([this] { watch(); }) {
        active_ = this;
        previousFilter_ = ::SetUnhandledExceptionFilter(&onUnhandled);
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;
    ~Watchdog() {
        ::SetUnhandledExceptionFilter(previousFilter_);
        active_ = nullptr;
        done_ = true;
        thread_.join();
    }
    void progress(std::uint32_t iteration) { iteration_ = iteration; }

private:
    void watch() {
        for (std::uint32_t seen = iteration_, idle = 0; !done_; ::Sleep(100)) {
            idle = iteration_ == seen ? idle + 1 : 0;
            seen = iteration_;
            if (idle > 600) stop("no progress for 60 s", 3);
        }
    }
    void stop(const char* why, UINT exitCode) {
        std::fprintf(stderr, "%s seed %u: %s at iteration %u\n", run_, seed_, why, static_cast<unsigned>(iteration_));
        std::fflush(stderr);
        ::TerminateProcess(::GetCurrentProcess(), exitCode);
    }
    static LONG WINAPI onUnhandled(EXCEPTION_POINTERS* pointers) {
        char why[64];
        std::snprintf(why, sizeof why, "unhandled exception 0x%08lx",
                      static_cast<unsigned long>(pointers->ExceptionRecord->ExceptionCode));
        if (Watchdog* watchdog = active_) watchdog->stop(why, 4);
        return EXCEPTION_CONTINUE_SEARCH;
    }

    const char* run_;
    std::uint32_t seed_;
    std::atomic<std::uint32_t> iteration_{0};
    std::atomic<bool> done_{false};
    std::thread thread_;
    LPTOP_LEVEL_EXCEPTION_FILTER previousFilter_ = nullptr;
    static inline std::atomic<Watchdog*> active_{nullptr};
};
