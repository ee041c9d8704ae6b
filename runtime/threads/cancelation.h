#pragma once
// Scoped cancellation points: every blocking library operation opens one, so that a cancellation request
// can reach the thread (asynchronous mode: alertable waits are interrupted; deferred mode: the request
// takes effect when the point closes).
#include <windows.h>

namespace ThreadCancelation {

enum Mode : int { Asynchronous = 0, Deferred = 1 };

class CancelationPoint {
public:
    explicit CancelationPoint(int mode);
    CancelationPoint(const CancelationPoint&) = delete;
    CancelationPoint& operator=(const CancelationPoint&) = delete;
    virtual void cancel();
    virtual ~CancelationPoint();

    // The innermost open point of the calling thread, or null.
    static CancelationPoint* current() noexcept;
    CancelationPoint* previous() const noexcept { return previous_; }
    int mode() const noexcept { return mode_; }
    bool cancelRequested() const noexcept { return cancelRequested_; }

private:
    void close() noexcept;

    CancelationPoint* previous_;
    int mode_;
    bool cancelRequested_ = false;
    bool cancelling_ = false;
    bool closed_ = false;
    HANDLE thread_ = nullptr;
};

// The process's registry of cancellation points (in the execute context); switched off when created.
class CancelationRegistry;
// Frees the registry when the last module lets the execute context go.
void destroyRegistry(CancelationRegistry* registry) noexcept;

}  // namespace ThreadCancelation
