#include "runtime/threads/cancelation.h"

#include <exception>
#include <string>

#include "runtime/errors/vexception.h"
#include "runtime/logging/executecontext.h"
#include "runtime/logging/logmanager.h"
#include "runtime/threads/sync.h"

namespace ThreadCancelation {

namespace {

class CriticalSectionGuard {
public:
    explicit CriticalSectionGuard(CRITICAL_SECTION& section) noexcept : section_(section) {
        ::EnterCriticalSection(&section_);
    }
    CriticalSectionGuard(const CriticalSectionGuard&) = delete;
    CriticalSectionGuard& operator=(const CriticalSectionGuard&) = delete;
    ~CriticalSectionGuard() { ::LeaveCriticalSection(&section_); }

private:
    CRITICAL_SECTION& section_;
};

// The procedure call only wakes the thread's alertable wait; the wait then sees the request (testCancel).
void CALLBACK wakeForCancel(ULONG_PTR) {}

}  // namespace

// ---- registry ----

CancelationRegistry::CancelationRegistry() {
    tlsSlot_ = ::TlsAlloc();
    if (tlsSlot_ == TLS_OUT_OF_INDEXES)
        throwOsError(L"TlsAlloc() failed", ::GetLastError(),
                     errorFrame(L"", "ThreadCancelation::TlsValuePtr<class ThreadCancelation::CancelationPoint>::TlsValuePtr"));
    ::InitializeCriticalSection(&lock_);
}

CancelationRegistry::~CancelationRegistry() {
    ::DeleteCriticalSection(&lock_);
    ::TlsFree(tlsSlot_);
}

CancelationRegistry& CancelationRegistry::instance() {
    ExecuteContext& context = executeContext();
    auto* slot = reinterpret_cast<void* volatile*>(&context.cancelation);
    if (void* existing = ::InterlockedCompareExchangePointer(slot, nullptr, nullptr))
        return *static_cast<CancelationRegistry*>(existing);
    // Modules of one process share the registry: the first of them to get here makes it.
    ExclusiveTask creation(L"{D660A9E0-ED82-4a76-A607-E7B8471B868E}:" + std::to_wstring(::GetCurrentProcessId()));
    if (void* existing = ::InterlockedCompareExchangePointer(slot, nullptr, nullptr))
        return *static_cast<CancelationRegistry*>(existing);
    auto* registry = new CancelationRegistry();
    ::InterlockedExchangePointer(slot, registry);
    return *registry;
}

void CancelationRegistry::enable(bool on) noexcept {
    CriticalSectionGuard guard(lock_);
    enabled_ = on;
    if (!on) threads_.clear();
}

bool CancelationRegistry::cancelThread(DWORD threadId) {
    CriticalSectionGuard guard(lock_);
    const auto found = threads_.find(threadId);
    if (found == threads_.end() || found->second.point == nullptr) return false;
    found->second.point->cancel();
    return true;
}

bool CancelationRegistry::isRegistered(DWORD threadId) {
    CriticalSectionGuard guard(lock_);
    return threads_.count(threadId) != 0;
}

std::size_t CancelationRegistry::registeredThreads() {
    CriticalSectionGuard guard(lock_);
    return threads_.size();
}

CancelationPoint* CancelationRegistry::current() const noexcept {
    return static_cast<CancelationPoint*>(::TlsGetValue(tlsSlot_));
}

void CancelationRegistry::setCurrent(CancelationPoint* point) noexcept { ::TlsSetValue(tlsSlot_, point); }

void CancelationRegistry::registerPoint(DWORD threadId, CancelationPoint* point) noexcept {
    if (!enabled_) return;
    CriticalSectionGuard guard(lock_);
    if (!enabled_) return;
    try {
        const auto found = threads_.find(threadId);
        if (found != threads_.end()) {
            if (point != nullptr)
                found->second.point = point;
            else
                threads_.erase(found);
        } else if (point != nullptr) {
            tarvo::unique_handle thread(::OpenThread(SYNCHRONIZE, FALSE, threadId));
            threads_.emplace(threadId, Entry{std::move(thread), point});
        }
    } catch (...) {
        // Out of memory: the thread just cannot be cancelled by its id.
    }
}

void destroyRegistry(CancelationRegistry* registry) noexcept { delete registry; }

// ---- points ----

CancelationPoint::CancelationPoint(int mode) : previous_(nullptr), mode_(mode), threadId_(::GetCurrentThreadId()) {
    CancelationRegistry& registry = CancelationRegistry::instance();
    previous_ = registry.current();
    registry.setCurrent(this);
    registry.registerPoint(threadId_, this);
}

CancelationPoint::~CancelationPoint() noexcept(false) {
    close();
    // While the thread unwinds already, that unwinding is the tear-down.
    if (cancelRequested_ && std::uncaught_exceptions() == 0) tearDown();
}

void CancelationPoint::close() noexcept {
    if (closed_) return;
    closed_ = true;
    CancelationRegistry& registry = CancelationRegistry::instance();
    registry.registerPoint(threadId_, previous_);
    registry.setCurrent(previous_);
}

void CancelationPoint::cancel() {
    if (cancelRequested_.exchange(true)) return;
    if (mode_ == Deferred) return;
    // The thread is opened here rather than when the point opens: every wait opens a point, and only a
    // cancellation needs the handle. While the point exists its thread does, so the id names no other thread.
    const DWORD access = THREAD_SET_CONTEXT | THREAD_QUERY_LIMITED_INFORMATION;
    const tarvo::unique_handle thread(::OpenThread(access, FALSE, threadId_));
    if (!thread || ::GetProcessIdOfThread(thread.get()) != ::GetCurrentProcessId() ||
        !::QueueUserAPC(wakeForCancel, thread.get(), reinterpret_cast<ULONG_PTR>(this)))
        throwOsError(L"Unable to queue asynchronous cancel", ::GetLastError(),
                     errorFrame(L"", "ThreadCancelation::AsyncCancelationPoint::cancel"));
}

void CancelationPoint::tearDown() {
    {
        CancelationRegistry& registry = CancelationRegistry::instance();
        CriticalSectionGuard guard(registry.lock_);
        if (cancelling_) return;
        cancelling_ = true;
    }
    const DWORD threadId = ::GetCurrentThreadId();
    vlog(LogLevel::Info, L"Thread #%d is going to be canceled!", static_cast<int>(threadId));
    throw ThreadCanceled{threadId};
}

CancelationPoint* CancelationPoint::current() noexcept {
    try {
        return CancelationRegistry::instance().current();
    } catch (...) {
        return nullptr;
    }
}

void testCancel() {
    for (CancelationPoint* point = CancelationPoint::current(); point != nullptr; point = point->previous_)
        if (point->mode_ == Asynchronous && point->cancelRequested_ && !point->cancelling_) point->tearDown();
}

}  // namespace ThreadCancelation
