// Alertable waits and sleeps, mutexes and events, the named-mutex guard, threads, and cancellation.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>

#include "runtime/errors/annotate.h"
#include "runtime/threads/cancelation.h"
#include "runtime/threads/sync.h"
#include "runtime/threads/vthread.h"
#include "runtime/threads/wait.h"
#include "tests/testutil.h"

using ThreadCancelation::CancelationPoint;
using ThreadCancelation::CancelationRegistry;

namespace {

class LambdaBody : public vthreadexec {
public:
    LambdaBody(Construction construction, std::function<DWORD()> body)
        : vthreadexec(construction), body_(std::move(body)) {}
    DWORD execute() override { return body_(); }

private:
    std::function<DWORD()> body_;
};
using LambdaThread = JoinedThread<LambdaBody>;

// Queues a procedure call to `target` after `delayMs`, noting when it ran there.
struct LateApc {
    static void CALLBACK ran(ULONG_PTR self) { reinterpret_cast<LateApc*>(self)->ranAt = ::GetTickCount64(); }

    LateApc(HANDLE target, DWORD delayMs)
        : sender([this, target, delayMs] {
              ::Sleep(delayMs);
              ::QueueUserAPC(&LateApc::ran, target, reinterpret_cast<ULONG_PTR>(this));
              return 0u;
          }) {
        sender.begin();
    }
    std::atomic<ULONGLONG> ranAt{0};
    LambdaThread sender;
};

// A wake-up 0.6 s into a 1.5 s wait must wait the remaining 0.9 s only: about 1.5 s in all, not 2.1 s.
// Wide margins: the order of events and the absence of a restart are what count, not exact times.
template <typename Wait>
void expectApcDoesNotRestartTheWait(Wait&& wait) {
    const tarvo::unique_handle self = VHandle::duplicate(::GetCurrentThread());
    const ULONGLONG start = ::GetTickCount64();
    LateApc apc(self.get(), 600);
    wait(1500);
    const ULONGLONG end = ::GetTickCount64();
    ASSERT_NE(apc.ranAt.load(), 0u) << "the procedure call never ran";
    EXPECT_GE(apc.ranAt.load() - start, 450u);
    EXPECT_LT(apc.ranAt.load(), end);
    EXPECT_GE(end - start, 1480u);
    EXPECT_LT(end - start, 1950u);
}

// Switches the cancellation registry on for one test.
struct EnabledRegistry {
    EnabledRegistry() { CancelationRegistry::instance().enable(true); }
    ~EnabledRegistry() { CancelationRegistry::instance().enable(false); }
};

}  // namespace

TEST(Threads, AnApcWakeUpWaitsOnlyForTheTimeThatRemainsInEveryKindOfWait) {
    VEvent never(true, false), a(true, false), b(true, false);
    expectApcDoesNotRestartTheWait([&](DWORD ms) { EXPECT_EQ(never.wait(ms), static_cast<DWORD>(WAIT_TIMEOUT)); });
    expectApcDoesNotRestartTheWait([](DWORD ms) { tarvo::threads::Sleep(ms); });
    const HANDLE both[] = {a.handle(), b.handle()};
    expectApcDoesNotRestartTheWait([&](DWORD ms) {
        EXPECT_EQ(tarvo::threads::waitForMultipleObjects(2, both, false, ms), static_cast<DWORD>(WAIT_TIMEOUT));
    });
    // Which one is signalled, and all of them.
    b.set();
    EXPECT_EQ(tarvo::threads::waitForMultipleObjects(2, both, false, 1000), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(tarvo::threads::waitForMultipleObjects(2, both, true, 50), static_cast<DWORD>(WAIT_TIMEOUT));
    a.set();
    EXPECT_EQ(tarvo::threads::waitForMultipleObjects(2, both, true, 1000), static_cast<DWORD>(WAIT_OBJECT_0));
}

TEST(Threads, FailuresNameTheCallAndItsFunction) {
    const HANDLE bad = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7FFF0));
    const std::wstring name = uniqueName(L"mutex");
    VMutex unowned(false), named(true, name);
    const struct {
        std::function<void()> call;
        DWORD code;  // 0: any
        std::wstring text, function;
    } failures[] = {
        {[&] { tarvo::threads::waitForSingleObject(bad, 10); }, ERROR_INVALID_HANDLE, L"Wait for single object",
         L"VSyncObject::waitForSingleObject"},
        {[&] { unowned.unlock(); }, ERROR_NOT_OWNER, L"ReleaseMutex", L"VMutex::unlock"},
        {[&] { VEvent clash(true, false, name); }, ERROR_INVALID_HANDLE, L"Create event with name '" + name + L"'",
         L"VEvent::VEvent"},
        {[&] { VHandle::duplicate(bad); }, 0, L"Unable to duplicate handle", L""},
    };
    for (const auto& f : failures) {
        const Failure failure = failureOf([&] { f.call(); });
        EXPECT_EQ(f.code ? failure.code : 0u, f.code) << failure.message;
        EXPECT_TRUE(contains(failure.message, f.text)) << failure.message;
        EXPECT_TRUE(contains(failure.message, f.function)) << failure.message;
    }
    // An event's unlock clears it; a duplicate reaches the same object; nothing is no handle.
    VEvent event(true, true);
    event.unlock();
    EXPECT_FALSE(event.lock(0));
    EXPECT_FALSE(VHandle::duplicate(nullptr) || VHandle::duplicate(INVALID_HANDLE_VALUE));
    ::SetEvent(VHandle::duplicate(event.handle()).get());
    EXPECT_TRUE(event.lock(0));
}

// Held by another thread, a mutex and an exclusive task time out after their time; abandoned, the mutex counts
// as acquired; released, the task is taken.
TEST(Threads, AHeldMutexTimesOutAndAnAbandonedOneCountsAsAcquired) {
    VMutex mutex(false);
    const std::wstring name = uniqueName(L"task");
    std::atomic<bool> holding{false};
    VEvent release(true, false);
    {
        LambdaThread holder([&] {
            EXPECT_TRUE(mutex.lock());
            ExclusiveTask task(name);
            EXPECT_TRUE(task.acquired());
            holding = true;
            release.wait(INFINITE);
            return 0u;  // ends without unlocking: the mutex is abandoned
        });
        holder.begin();
        while (!holding) ::Sleep(5);
        EXPECT_FALSE(mutex.lock(100));
        const ULONGLONG start = ::GetTickCount64();
        EXPECT_FALSE(ExclusiveTask(name, 200).acquired());
        EXPECT_GE(::GetTickCount64() - start, 150u);
        release.set();
    }
    EXPECT_TRUE(mutex.lock(1000));
    mutex.unlock();
    EXPECT_TRUE(ExclusiveTask(name, 5000).acquired());
}

TEST(Threads, AThreadEndsWithWhatItsBodyReturnsOrZeroAfterLoggingItsFailure) {
    CapturedLog log;
    DWORD ranOn = 0;
    bool fail = false;
    LambdaThread thread([&]() -> DWORD {
        ranOn = ::GetCurrentThreadId();
        if (fail) throw std::runtime_error("disk on fire");
        return 42;
    });
    for (DWORD expected : {42u, 42u, 0u}) {  // a second run replaces the first one's handle
        fail = expected == 0;
        thread.begin();
        ASSERT_TRUE(thread.join(10000));
        EXPECT_EQ(thread.exitCode(), expected);
        EXPECT_EQ(ranOn, thread.id());
        EXPECT_NE(ranOn, ::GetCurrentThreadId());
    }
    const std::vector<std::wstring> lines = log.lines();
    ASSERT_EQ(countContaining(lines, L"disk on fire"), 1u);
    EXPECT_EQ(lines[0].rfind(L"Error: disk on fire", 0), 0u) << lines[0];
    EXPECT_TRUE(contains(lines[0], L"Thread fatal error (vthreadexec::_start_address)(vthreadexec::_start_address"));
}

// Owned by its JoinedThread, a body outlives its thread: the owner going away first asks the thread to finish
// (state 2; -2 when it was never asked) and waits for it (3; -1 when the body went while its thread still ran).
class WaitingBody : public vthreadexec {
public:
    WaitingBody(Construction construction, std::atomic<int>& state) : vthreadexec(construction), state_(state) {}
    ~WaitingBody() override { state_ = state_ == 2 ? 3 : -1; }
    DWORD execute() override {
        state_ = 1;
        const bool asked = tarvo::threads::waitForSingleObject(event().handle(), 10000) == WAIT_OBJECT_0;
        ::Sleep(100);  // still working on this object after being asked
        state_ = asked ? 2 : -2;
        return 0;
    }

private:
    std::atomic<int>& state_;
};

TEST(Threads, AnObjectGoesOnlyAfterItsThreadHasEnded) {
    std::atomic<int> state{0};
    {
        JoinedThread<WaitingBody> thread(state);
        thread.begin();
        while (state == 0) ::Sleep(1);
    }
    EXPECT_EQ(state, 3);
}

TEST(Threads, PointsChainPerThreadAndTheRegistryStaysOffUntilEnabled) {
    CancelationRegistry& registry = CancelationRegistry::instance();
    ASSERT_FALSE(registry.enabled());
    CancelationPoint* before = CancelationPoint::current();
    {
        CancelationPoint outer(ThreadCancelation::Deferred);
        {
            CancelationPoint inner(ThreadCancelation::Asynchronous);
            EXPECT_EQ(CancelationPoint::current(), &inner);
            EXPECT_EQ(inner.previous(), &outer);
            EXPECT_EQ(outer.previous(), before);
            EXPECT_EQ(registry.registeredThreads(), 0u);
        }
        EXPECT_EQ(CancelationPoint::current(), &outer);
        CancelationPoint* seenThere = &outer;  // another thread has a chain of its own
        LambdaThread other([&] {
            seenThere = CancelationPoint::current();
            return 0u;
        });
        other.begin();
        other.join();
        EXPECT_NE(seenThere, &outer);
    }
    EXPECT_EQ(CancelationPoint::current(), before);
    // A cancellation passes an annotating operation as it is: it is no failure.
    EXPECT_THROW(annotate("test", L"annotated", [] { throw ThreadCancelation::ThreadCanceled{7}; }),
                 ThreadCancelation::ThreadCanceled);
}

TEST(Threads, AThreadBlockedInATimedOrEndlessWaitIsUnwoundAndEndsWithZero) {
    EnabledRegistry enabled;
    CapturedLog log;
    CancelationRegistry& registry = CancelationRegistry::instance();
    VEvent never(true, false);
    for (const std::function<void()>& wait : std::vector<std::function<void()>>{
             [&] { never.wait(INFINITE); }, [] { tarvo::threads::Sleep(60000); }}) {
        std::atomic<bool> waiting{false}, cleanedUp{false}, wokeNormally{false};
        LambdaThread worker([&]() -> DWORD {
            struct Cleanup {
                std::atomic<bool>& flag;
                ~Cleanup() { flag = true; }
            } cleanup{cleanedUp};
            waiting = true;
            wait();
            wokeNormally = true;
            return 5;
        });
        const ULONGLONG start = ::GetTickCount64();
        worker.begin();
        // The worker's current point is registered once it waits.
        for (int i = 0; i < 1000 && !(waiting && registry.isRegistered(worker.id())); ++i) ::Sleep(5);
        ::Sleep(50);
        ASSERT_TRUE(registry.cancelThread(worker.id()));
        ASSERT_TRUE(worker.join(10000)) << "the cancelled thread still runs";
        EXPECT_LT(::GetTickCount64() - start, 30000u);
        EXPECT_EQ(worker.exitCode(), 0u);
        EXPECT_TRUE(cleanedUp);
        EXPECT_FALSE(wokeNormally);
        const std::wstring announced = L"Info: Thread #" + std::to_wstring(worker.id()) + L" is going to be canceled!";
        EXPECT_TRUE(anyContains(log.lines(), announced));
        EXPECT_FALSE(registry.isRegistered(worker.id()));  // its points all closed
        EXPECT_FALSE(registry.cancelThread(worker.id()));
    }
}

TEST(Threads, ADeferredRequestActsWhenThePointCloses) {
    EnabledRegistry enabled;
    std::atomic<int> progress{0};
    LambdaThread worker([&]() -> DWORD {
        {
            CancelationPoint point(ThreadCancelation::Deferred);
            point.cancel();
            point.cancel();  // a second request changes nothing
            progress = 1;    // still runs: the request waits for the point to close
            tarvo::threads::Sleep(20);
            progress = 2;  // a wait is no place for a deferred request to act either
        }
        progress = 3;
        return 9;
    });
    worker.begin();
    ASSERT_TRUE(worker.join(10000));
    EXPECT_EQ(progress, 2);
    EXPECT_EQ(worker.exitCode(), 0u);
}

