#pragma once
// Mutexes and events that every account may open, a scoped guard over a named mutex, handle duplication.
#include <windows.h>

#include <atomic>
#include <string>

#include "runtime/holder.h"

// Scoped holders of a slim reader/writer lock, exclusive or shared.
template <void(WINAPI* Acquire)(PSRWLOCK), void(WINAPI* Release)(PSRWLOCK)>
class SrwGuard {
public:
    explicit SrwGuard(SRWLOCK& lock) noexcept : lock_(lock) { Acquire(&lock_); }
    SrwGuard(const SrwGuard&) = delete;
    SrwGuard& operator=(const SrwGuard&) = delete;
    ~SrwGuard() { Release(&lock_); }

private:
    SRWLOCK& lock_;
};
using SrwExclusive = SrwGuard<&::AcquireSRWLockExclusive, &::ReleaseSRWLockExclusive>;
using SrwShared = SrwGuard<&::AcquireSRWLockShared, &::ReleaseSRWLockShared>;

// One-time initialisation that a failure leaves undone: the set-up runs under a lock that its exception
// releases, and the next call tries again. (With winpthreads, std::call_once leaves its flag locked when the
// set-up throws, and every later call hangs.) Constant-initialised, so usable as a function-local static.
class OnceRetrying {
public:
    constexpr OnceRetrying() noexcept = default;
    OnceRetrying(const OnceRetrying&) = delete;
    OnceRetrying& operator=(const OnceRetrying&) = delete;

    bool done() const noexcept { return done_.load(std::memory_order_acquire); }
    template <typename SetUp>
    void run(SetUp&& setUp) {
        if (done()) return;
        SrwExclusive guard(lock_);
        if (done_.load(std::memory_order_relaxed)) return;
        setUp();
        done_.store(true, std::memory_order_release);
    }

private:
    std::atomic<bool> done_{false};
    SRWLOCK lock_ = SRWLOCK_INIT;
};

class VSyncObject {
public:
    VSyncObject(const VSyncObject&) = delete;
    VSyncObject& operator=(const VSyncObject&) = delete;
    virtual ~VSyncObject();
    // Alertable; an APC wake-up waits again for the time that remains.
    virtual DWORD wait(DWORD timeoutMs);
    virtual void unlock() = 0;
    // True when acquired (an abandoned mutex counts as acquired), false on a time-out.
    bool lock(DWORD timeoutMs = INFINITE);
    HANDLE handle() const noexcept { return handle_.get(); }

protected:
    VSyncObject() = default;
    tarvo::unique_handle handle_;
};

class VMutex : public VSyncObject {
public:
    VMutex(bool initiallyOwned, const std::wstring& name = {});
    void unlock() override;
};

class VEvent : public VSyncObject {
public:
    VEvent(bool manualReset, bool initialState, const std::wstring& name = {});
    void unlock() override;
    void set();
};

// Holds a named mutex for its lifetime (or until the wait for it timed out).
class ExclusiveTask {
public:
    ExclusiveTask(const std::wstring& name, DWORD timeoutMs = INFINITE);
    ExclusiveTask(const ExclusiveTask&) = delete;
    ExclusiveTask& operator=(const ExclusiveTask&) = delete;
    ~ExclusiveTask();
    bool acquired() const noexcept { return acquired_; }

private:
    tarvo::unique_handle mutex_;
    bool acquired_ = false;
};

namespace VHandle {
// A same-access, non-inheritable duplicate; an invalid or null handle gives an empty holder.
tarvo::unique_handle duplicate(HANDLE handle);
}  // namespace VHandle
