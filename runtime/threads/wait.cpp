#include "runtime/threads/wait.h"

#include "runtime/errors/vexception.h"
#include "runtime/threads/cancelation.h"

namespace tarvo::threads {

namespace {

// Repeats an alertable wait after each APC wake-up with the time left before the deadline.
template <typename WaitOnce>
DWORD waitUntilDeadline(DWORD timeoutMs, WaitOnce&& waitOnce) {
    ThreadCancelation::CancelationPoint point(ThreadCancelation::Asynchronous);
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    DWORD remaining = timeoutMs;
    for (;;) {
        const DWORD result = waitOnce(remaining);
        if (result != WAIT_IO_COMPLETION) return result;
        ThreadCancelation::testCancel();
        if (timeoutMs != INFINITE) {
            const ULONGLONG now = ::GetTickCount64();
            remaining = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
        }
    }
}

}  // namespace

DWORD waitForSingleObject(HANDLE handle, DWORD timeoutMs) {
    const DWORD result =
        waitUntilDeadline(timeoutMs, [&](DWORD ms) { return ::WaitForSingleObjectEx(handle, ms, TRUE); });
    if (result == WAIT_FAILED)
        throwOsError(L"Wait for single object", ::GetLastError(), errorFrame(L"", "VSyncObject::waitForSingleObject"));
    return result;
}

DWORD waitForMultipleObjects(DWORD count, const HANDLE* handles, bool waitAll, DWORD timeoutMs) {
    const DWORD result = waitUntilDeadline(
        timeoutMs, [&](DWORD ms) { return ::WaitForMultipleObjectsEx(count, handles, waitAll, ms, TRUE); });
    if (result == WAIT_FAILED)
        throwOsError(L"Wait for multiple objects", ::GetLastError(),
                     errorFrame(L"", "VSyncObject::waitForMultipleObjects"));
    return result;
}

void Sleep(DWORD ms) {
    ThreadCancelation::CancelationPoint point(ThreadCancelation::Asynchronous);
    const ULONGLONG deadline = ::GetTickCount64() + ms;
    DWORD remaining = ms;
    while (::SleepEx(remaining, TRUE) == WAIT_IO_COMPLETION) {
        ThreadCancelation::testCancel();
        const ULONGLONG now = ::GetTickCount64();
        if (now >= deadline) return;
        remaining = static_cast<DWORD>(deadline - now);
    }
}

}  // namespace tarvo::threads
