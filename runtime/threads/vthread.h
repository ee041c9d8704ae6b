#pragma once
// Threads of the library: started through the C runtime, run under the structured-exception translator
// and cancellation points, and never let an exception escape.
#include <windows.h>

#include <utility>

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

template <typename Body>
class JoinedThread;

// A thread whose body is execute(): a failure inside it is logged as an Error and the thread ends with
// exit code 0, as does a cancellation.
//
// A running thread uses its object, so no part of the object may go before the thread has ended. Objects are
// therefore made only as JoinedThread<T>, whose destructor, the first to run, waits for the thread: the
// constructor of this class takes a Construction that only JoinedThread can make.
class vthreadexec : public VThread {
public:
    virtual DWORD execute() = 0;
    // A manual-reset event, initially clear, that the owner may set to ask the thread to finish.
    VEvent& event() noexcept { return event_; }

protected:
    class Construction {
        Construction() = default;
        template <typename Body>
        friend class JoinedThread;
    };
    explicit vthreadexec(Construction) : event_(true, false) {}
    ~vthreadexec() override;

private:
    template <typename Body>
    friend class JoinedThread;
    DWORD run() final;
    // Sets the event and waits, without an alert or a cancellation to cut the wait short, for the thread.
    void finish() noexcept;
    VEvent event_;
};

// The owning form of a thread object: destroying it first asks the thread to finish (event()) and waits for
// it, and only then lets the Body part go.
template <typename Body>
class JoinedThread final : public Body {
public:
    template <typename... Args>
    explicit JoinedThread(Args&&... args) : Body(typename Body::Construction{}, std::forward<Args>(args)...) {}
    ~JoinedThread() override { this->finish(); }
};
