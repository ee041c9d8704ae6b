#pragma once
// Mutexes and events that every account may open, a scoped guard over a named mutex, handle duplication.
#include <windows.h>

#include <string>

#include "runtime/holder.h"

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
