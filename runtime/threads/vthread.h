#pragma once
// Threads of the library: started through the C runtime, run under the structured-exception translator
// and cancellation points, and never let an exception escape.
#include <windows.h>

#include "runtime/holder.h"
#include "runtime/threads/sync.h"

class VThread {
public:
    VThread(const VThread&) = delete;
    VThread& operator=(const VThread&) = delete;
    virtual ~VThread();

    // Starts the thread (closing the handle of an earlier run first).
    void begin();
    // Waits alertably for the thread to end; false on a time-out. True at once when none was started.
    bool join(DWORD timeoutMs = INFINITE);
    // The thread's exit code (STILL_ACTIVE while it runs).
    DWORD exitCode() const;
    HANDLE handle() const noexcept { return thread_.get(); }
    DWORD id() const noexcept { return id_; }

protected:
    VThread() = default;
    // The body of the thread; its value is the thread's exit code.
    virtual DWORD run() = 0;

private:
    static unsigned __stdcall startRoutine(void* self);

    tarvo::unique_handle thread_;
    DWORD id_ = 0;
};

// A thread whose body is execute(): a failure inside it is logged as an Error and the thread ends with
// exit code 0, as does a cancellation.
class vthreadexec : public VThread {
public:
    // Waits for a running thread to end before its object goes away.
    ~vthreadexec() override;
    virtual DWORD execute() = 0;
    // A manual-reset event, initially clear, that the owner may set to ask the thread to finish.
    VEvent& event() noexcept { return event_; }

protected:
    vthreadexec() : event_(true, false) {}

private:
    DWORD run() final;
    VEvent event_;
};
