#include "runtime/threads/cancelation.h"

namespace ThreadCancelation {

namespace {
thread_local CancelationPoint* currentPoint = nullptr;
}

CancelationPoint::CancelationPoint(int mode) : previous_(currentPoint), mode_(mode) { currentPoint = this; }

CancelationPoint::~CancelationPoint() { close(); }

void CancelationPoint::close() noexcept {
    if (closed_) return;
    closed_ = true;
    currentPoint = previous_;
}

void CancelationPoint::cancel() { cancelRequested_ = true; }

CancelationPoint* CancelationPoint::current() noexcept { return currentPoint; }

class CancelationRegistry {};

void destroyRegistry(CancelationRegistry* registry) noexcept { delete registry; }

}  // namespace ThreadCancelation
