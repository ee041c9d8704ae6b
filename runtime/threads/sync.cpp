#include "runtime/threads/sync.h"

#include "runtime/errors/format.h"
#include "runtime/errors/vexception.h"
#include "runtime/security/security.h"
#include "runtime/threads/wait.h"

VSyncObject::~VSyncObject() = default;

DWORD VSyncObject::wait(DWORD timeoutMs) { return tarvo::threads::waitForSingleObject(handle_.get(), timeoutMs); }

bool VSyncObject::lock(DWORD timeoutMs) {
    const DWORD result = wait(timeoutMs);
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) return true;
    if (result == WAIT_IO_COMPLETION || result == WAIT_TIMEOUT) return false;
    throwOsError(L"Lock object", ::GetLastError(), errorFrame(L"", "VSyncObject::lock"));
}

namespace {
// Everyone may open the objects, so that processes of other accounts and integrity levels share them. The
// descriptor never changes: it is built once (log files make a mutex for every line).
SECURITY_ATTRIBUTES* everyoneAttributes() {
    static SecurityDescriptor* security = new SecurityDescriptor(SecurityDescriptor::everyoneFullAccess(), false);
    return security->attributes();
}
}  // namespace

VMutex::VMutex(bool initiallyOwned, const std::wstring& name) {
    handle_.reset(::CreateMutexW(everyoneAttributes(), initiallyOwned, name.empty() ? nullptr : name.c_str()));
    if (!handle_)
        throwOsError(name.empty() ? std::wstring(L"Create mutex") : formatString(L"Create mutex with name '%s'", name),
                     ::GetLastError(), errorFrame(L"", "VMutex::VMutex"));
}

void VMutex::unlock() {
    if (!::ReleaseMutex(handle_.get())) throwOsError(L"ReleaseMutex", ::GetLastError(), errorFrame(L"", "VMutex::unlock"));
}

VEvent::VEvent(bool manualReset, bool initialState, const std::wstring& name) {
    handle_.reset(::CreateEventW(everyoneAttributes(), manualReset, initialState, name.empty() ? nullptr : name.c_str()));
    if (!handle_)
        throwOsError(name.empty() ? std::wstring(L"Create event") : formatString(L"Create event with name '%s'", name),
                     ::GetLastError(), errorFrame(L"", "VEvent::VEvent"));
}

void VEvent::unlock() {
    if (!::ResetEvent(handle_.get())) throwOsError(L"ResetEvent", ::GetLastError(), errorFrame(L"", "VEvent::unlock"));
}

void VEvent::set() {
    if (!::SetEvent(handle_.get())) throwOsError(L"SetEvent", ::GetLastError(), errorFrame(L"", "VEvent::set"));
}

ExclusiveTask::ExclusiveTask(const std::wstring& name, DWORD timeoutMs) {
    mutex_.reset(::CreateMutexW(nullptr, FALSE, name.c_str()));
    if (!mutex_) throwOsError(L"create mutex " + name, ::GetLastError(), errorFrame(L"", "ExclusiveTask::Initialize"));
    const DWORD result = ::WaitForSingleObject(mutex_.get(), timeoutMs);
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) {
        acquired_ = true;
    } else if (result != WAIT_TIMEOUT) {
        const DWORD error = ::GetLastError();
        mutex_.reset();
        throwOsError(L"WaitForSingleObject failed for mutex " + name, error, errorFrame(L"", "ExclusiveTask::Initialize"));
    }
}

ExclusiveTask::~ExclusiveTask() {
    // Releasing a mutex this thread does not own (after a time-out) fails harmlessly.
    if (acquired_) ::ReleaseMutex(mutex_.get());
}

namespace VHandle {
tarvo::unique_handle duplicate(HANDLE handle) {
    tarvo::unique_handle copy;
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return copy;
    if (!::DuplicateHandle(::GetCurrentProcess(), handle, ::GetCurrentProcess(), copy.put(), 0, FALSE,
                           DUPLICATE_SAME_ACCESS))
        throwOsError(L"Unable to duplicate handle", ::GetLastError(), errorFrame(L"", "VHandle::duplicate"));
    return copy;
}
}  // namespace VHandle
