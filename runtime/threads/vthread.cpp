#include "runtime/threads/vthread.h"

#include <process.h>

#include <cerrno>
#include <cstring>

#include "runtime/errors/annotate.h"
#include "runtime/errors/codepage.h"
#include "runtime/logging/logmanager.h"
#include "runtime/threads/cancelation.h"
#include "runtime/threads/wait.h"

VThread::~VThread() = default;

void VThread::begin() {
    thread_.reset();
    unsigned id = 0;
    const uintptr_t started = ::_beginthreadex(nullptr, 0, &VThread::startRoutine, this, 0, &id);
    if (started == 0) throw vexception(wstr(std::strerror(errno)), errorFrame(L"", "VThread::begin"));
    thread_.reset(reinterpret_cast<HANDLE>(started));
    id_ = id;
}

bool VThread::join(DWORD timeoutMs) {
    if (!thread_ || id_ == ::GetCurrentThreadId()) return true;
    return tarvo::threads::waitForSingleObject(thread_.get(), timeoutMs) == WAIT_OBJECT_0;
}

DWORD VThread::exitCode() const {
    DWORD code = 0;
    if (!::GetExitCodeThread(thread_.get(), &code))
        throwOsError(L"GetExitCodeThread", ::GetLastError(), errorFrame(L"", "VThread::exitCode"));
    return code;
}

unsigned __stdcall VThread::startRoutine(void* self) {
    try {
        return static_cast<VThread*>(self)->run();
    } catch (...) {
        // run() lets nothing escape; a thread must never end in std::terminate.
        return 0;
    }
}

vthreadexec::~vthreadexec() = default;

void vthreadexec::finish() noexcept {
    if (!handle() || id() == ::GetCurrentThreadId()) return;
    try {
        event_.set();
    } catch (...) {
    }
    ::WaitForSingleObject(handle(), INFINITE);
}

DWORD vthreadexec::run() {
    try {
        return annotate("vthreadexec::_start_address", L"Thread fatal error (vthreadexec::_start_address)", [&] {
            ThreadCancelation::CancelationPoint outer(ThreadCancelation::Deferred);
            ThreadCancelation::CancelationPoint inner(ThreadCancelation::Deferred);
            return execute();
        });
    } catch (const ThreadCancelation::ThreadCanceled&) {
        return 0;
    } catch (const vexception& e) {
        vlog(LogLevel::Error, e);
        return 0;
    }
}
