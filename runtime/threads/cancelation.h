#pragma once
// Scoped cancellation points: every blocking library operation opens one, so that a cancellation request
// can reach the thread. Asynchronous points are cancelled through an asynchronous procedure call that
// interrupts the thread's alertable wait; deferred points act when they close. Cancelling unwinds the
// thread (every destructor runs) and ends it.
//
// The per-thread chain of points and the registry of threads live in the process execute context, so that
// every module of the process carrying this runtime sees the same chain.
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <map>

#include "runtime/holder.h"

namespace ThreadCancelation {

enum Mode : int { Asynchronous = 0, Deferred = 1 };

// Unwinds a cancelled thread. It derives from nothing, so that no catch clause of the library takes it for
// a failure: the annotate-and-rethrow ladder passes it on unchanged, and the thread's start routine ends
// the thread with exit code 0 when it arrives there.
struct ThreadCanceled {
    DWORD threadId;
};

class CancelationPoint {
public:
    explicit CancelationPoint(int mode);
    CancelationPoint(const CancelationPoint&) = delete;
    CancelationPoint& operator=(const CancelationPoint&) = delete;
    // Requests the cancellation; any thread may call it. Asynchronous points wake their thread at once.
    virtual void cancel();
    // Throws ThreadCanceled when a cancellation was requested (unless the thread is already unwinding).
    virtual ~CancelationPoint() noexcept(false);

    // The innermost open point of the calling thread, or null.
    static CancelationPoint* current() noexcept;
    CancelationPoint* previous() const noexcept { return previous_; }
    int mode() const noexcept { return mode_; }
    bool cancelRequested() const noexcept { return cancelRequested_; }

private:
    friend void testCancel();
    void close() noexcept;
    void tearDown();

    CancelationPoint* previous_;
    int mode_;
    std::atomic<bool> cancelRequested_{false};
    bool cancelling_ = false;
    bool closed_ = false;
    DWORD threadId_;  // the owning thread, opened only when a cancellation must wake it
};

// Tears the calling thread down when an asynchronous cancellation has reached one of its open points. The
// alertable waits call it after every wake-up by an asynchronous procedure call.
void testCancel();

// The process's registry of the threads' current points. Created switched off: then opening and closing
// points only maintains each thread's chain, and nothing can cancel a thread by its id.
class CancelationRegistry {
public:
    // The registry of the process execute context, created on first use.
    static CancelationRegistry& instance();
    CancelationRegistry(const CancelationRegistry&) = delete;
    CancelationRegistry& operator=(const CancelationRegistry&) = delete;
    ~CancelationRegistry();

    void enable(bool on) noexcept;
    bool enabled() const noexcept { return enabled_; }
    // Requests the cancellation of the thread's current point; false when the thread has no registered point.
    bool cancelThread(DWORD threadId);
    bool isRegistered(DWORD threadId);
    std::size_t registeredThreads();

    CancelationPoint* current() const noexcept;
    void setCurrent(CancelationPoint* point) noexcept;

private:
    friend class CancelationPoint;
    CancelationRegistry();
    // Makes `point` the thread's registered current point (none removes the thread). Only while enabled.
    void registerPoint(DWORD threadId, CancelationPoint* point) noexcept;

    struct Entry {
        tarvo::unique_handle thread;  // opened with synchronize access
        CancelationPoint* point;
    };
    DWORD tlsSlot_;
    std::map<DWORD, Entry> threads_;
    CRITICAL_SECTION lock_;
    std::atomic<bool> enabled_{false};
};

// Frees the registry when the last module lets the execute context go.
void destroyRegistry(CancelationRegistry* registry) noexcept;

}  // namespace ThreadCancelation
