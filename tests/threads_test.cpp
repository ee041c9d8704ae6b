// Alertable waits and sleeps, mutexes and events, the named-mutex guard, threads, and cancellation.
#include <windows.h>
#include <aclapi.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/errors/annotate.h"
#include "runtime/errors/codepage.h"
#include "runtime/logging/logmanager.h"
#include "runtime/security/security.h"
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

tarvo::unique_handle currentThreadHandle() { return VHandle::duplicate(::GetCurrentThread()); }

// A wake-up 0.6 s into a 1.5 s wait must wait the remaining 0.9 s only: about 1.5 s in all, not 2.1 s.
// Wide margins: the order of events and the absence of a restart are what count, not exact times.
template <typename Wait>
void expectApcDoesNotRestartTheWait(Wait&& wait) {
    const tarvo::unique_handle self = currentThreadHandle();
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

// Each failing call of the synchronisation objects names the operation and the function.
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
        if (f.code) {
            EXPECT_EQ(failure.code, f.code) << failure.message;
        }
        EXPECT_TRUE(contains(failure.message, f.text)) << failure.message;
        EXPECT_TRUE(contains(failure.message, f.function)) << failure.message;
    }
    VEvent event(true, true);
    EXPECT_TRUE(event.lock(0));
    event.unlock();  // an event's unlock clears it
    EXPECT_FALSE(event.lock(0));
    // A duplicate reaches the same object; nothing is no handle.
    EXPECT_FALSE(VHandle::duplicate(nullptr));
    EXPECT_FALSE(VHandle::duplicate(INVALID_HANDLE_VALUE));
    tarvo::unique_handle copy = VHandle::duplicate(event.handle());
    ASSERT_TRUE(copy);
    EXPECT_NE(copy.get(), event.handle());
    ::SetEvent(copy.get());
    EXPECT_TRUE(event.lock(0));
}

TEST(Threads, AnAbandonedMutexCountsAsAcquiredAndATimeOutDoesNot) {
    VMutex mutex(false);
    std::atomic<bool> holding{false};
    VEvent release(true, false);
    {
        LambdaThread holder([&] {
            EXPECT_TRUE(mutex.lock());
            holding = true;
            release.wait(INFINITE);
            return 0u;  // ends without unlocking: the mutex is abandoned
        });
        holder.begin();
        while (!holding) ::Sleep(5);
        EXPECT_FALSE(mutex.lock(100));
        release.set();
    }
    EXPECT_TRUE(mutex.lock(1000));
    mutex.unlock();
}

TEST(Threads, NamedObjectsLetEveryoneIn) {
    const std::wstring name = uniqueName(L"mutex");
    VMutex mutex(true, name);
    tarvo::unique_handle opened(::OpenMutexW(SYNCHRONIZE, FALSE, name.c_str()));
    EXPECT_TRUE(opened) << ::GetLastError();

    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(::GetSecurityInfo(mutex.handle(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                nullptr, &descriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    tarvo::unique_hlocal owned(descriptor);
    const std::vector<security::AclEntry> entries = security::readAcl(dacl);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].type, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(entries[0].sid, VSID::everyone());
    // Stored as asked or already mapped to the mutex's specific rights.
    EXPECT_TRUE(entries[0].mask == GENERIC_ALL || (entries[0].mask & MUTEX_ALL_ACCESS) == MUTEX_ALL_ACCESS);
}

TEST(Threads, AnExclusiveTaskWaitsForItsMutexOrGivesUpAfterItsTime) {
    const std::wstring name = uniqueName(L"task");
    std::atomic<bool> holding{false};
    VEvent release(true, false);
    LambdaThread holder([&] {
        ExclusiveTask task(name);
        EXPECT_TRUE(task.acquired());
        holding = true;
        release.wait(INFINITE);
        return 0u;
    });
    holder.begin();
    while (!holding) ::Sleep(5);
    {
        const ULONGLONG start = ::GetTickCount64();
        ExclusiveTask late(name, 200);
        EXPECT_FALSE(late.acquired());
        EXPECT_GE(::GetTickCount64() - start, 150u);
    }
    release.set();
    ExclusiveTask after(name, 5000);
    EXPECT_TRUE(after.acquired());
}

TEST(Threads, TheExitCodeIsWhatExecuteReturns) {
    DWORD ranOn = 0;
    LambdaThread thread([&] {
        ranOn = ::GetCurrentThreadId();
        return 42u;
    });
    thread.begin();
    ASSERT_TRUE(thread.join(10000));
    EXPECT_EQ(thread.exitCode(), 42u);
    EXPECT_EQ(ranOn, thread.id());
    EXPECT_NE(ranOn, ::GetCurrentThreadId());

    thread.begin();  // a second run replaces the first one's handle
    ASSERT_TRUE(thread.join(10000));
    EXPECT_EQ(thread.exitCode(), 42u);
}

// Owned by its JoinedThread, a body's own members outlive its thread: the owner going away first asks the
// thread to finish and waits for it.
class WaitingBody : public vthreadexec {
public:
    WaitingBody(Construction construction, std::atomic<int>& state) : vthreadexec(construction), state_(state) {}
    ~WaitingBody() override { state_ = state_ == 2 ? 3 : -1; }  // -1: gone while its thread still ran
    DWORD execute() override {
        state_ = 1;
        const bool asked = tarvo::threads::waitForSingleObject(event().handle(), 10000) == WAIT_OBJECT_0;
        ::Sleep(100);  // still working on this object after being asked
        note_ = asked ? L"asked to finish" : L"timed out";
        state_ = 2;
        return 0;
    }
    std::wstring note_;

private:
    std::atomic<int>& state_;
};

TEST(Threads, AnObjectGoesOnlyAfterItsThreadHasEnded) {
    std::atomic<int> state{0};
    const ULONGLONG start = ::GetTickCount64();
    {
        JoinedThread<WaitingBody> thread(state);
        thread.begin();
        while (state == 0) ::Sleep(1);
    }
    EXPECT_EQ(state, 3);
    EXPECT_LT(::GetTickCount64() - start, 5000u) << "the thread was not asked to finish";
}

TEST(Threads, AFailureIsLoggedAsAnErrorAndEndsTheThreadWithZero) {
    CapturedLog log;
    LambdaThread thread([]() -> DWORD { throw std::runtime_error("disk on fire"); });
    thread.begin();
    ASSERT_TRUE(thread.join(10000));
    EXPECT_EQ(thread.exitCode(), 0u);
    const auto lines = log.lines();
    ASSERT_EQ(countContaining(lines, L"disk on fire"), 1u);
    const std::wstring line = lines[0];
    EXPECT_EQ(line.rfind(L"Error: disk on fire", 0), 0u) << line;
    EXPECT_TRUE(contains(line, L"Thread fatal error (vthreadexec::_start_address)(vthreadexec::_start_address"))
        << line;
}

TEST(Threads, PointsChainPerThreadAndTheRegistryStaysOffUntilEnabled) {
    CancelationRegistry& registry = CancelationRegistry::instance();
    ASSERT_FALSE(registry.enabled());
    CancelationPoint* before = CancelationPoint::current();
    {
        CancelationPoint outer(ThreadCancelation::Deferred);
        EXPECT_EQ(CancelationPoint::current(), &outer);
        EXPECT_EQ(outer.previous(), before);
        {
            CancelationPoint inner(ThreadCancelation::Asynchronous);
            EXPECT_EQ(CancelationPoint::current(), &inner);
            EXPECT_EQ(inner.previous(), &outer);
            EXPECT_FALSE(registry.isRegistered(::GetCurrentThreadId()));
            EXPECT_EQ(registry.registeredThreads(), 0u);
        }
        EXPECT_EQ(CancelationPoint::current(), &outer);
        // Another thread has a chain of its own.
        CancelationPoint* seenThere = &outer;
        LambdaThread other([&] {
            seenThere = CancelationPoint::current();
            return 0u;
        });
        other.begin();
        other.join();
        EXPECT_NE(seenThere, &outer);
    }
    EXPECT_EQ(CancelationPoint::current(), before);
    EXPECT_FALSE(registry.isRegistered(::GetCurrentThreadId()));
}

TEST(Threads, ACancellationIsNoFailureToAnnotate) {
    bool reachedHandler = false;
    try {
        annotate("test", L"annotated", [] { throw ThreadCancelation::ThreadCanceled{7}; });
    } catch (const ThreadCancelation::ThreadCanceled& e) {
        reachedHandler = e.threadId == 7;
    } catch (const vexception& e) {
        FAIL() << "turned into a failure: " << cstr(e.toString());
    }
    EXPECT_TRUE(reachedHandler);
}

namespace {
// Switches the registry on for one test.
struct EnabledRegistry {
    EnabledRegistry() { CancelationRegistry::instance().enable(true); }
    ~EnabledRegistry() { CancelationRegistry::instance().enable(false); }
};
}  // namespace

TEST(Threads, AThreadBlockedInAWaitIsUnwoundAndEndsWithZero) {
    EnabledRegistry enabled;
    CapturedLog log;
    VEvent never(true, false);
    std::atomic<bool> waiting{false}, cleanedUp{false}, wokeNormally{false};
    LambdaThread worker([&]() -> DWORD {
        struct Cleanup {
            std::atomic<bool>& flag;
            ~Cleanup() { flag = true; }
        } cleanup{cleanedUp};
        waiting = true;
        never.wait(INFINITE);
        wokeNormally = true;
        return 5;
    });
    worker.begin();
    CancelationRegistry& registry = CancelationRegistry::instance();
    // The worker's current point is registered once it waits.
    for (int i = 0; i < 1000 && !(waiting && registry.isRegistered(worker.id())); ++i) ::Sleep(5);
    ::Sleep(50);
    ASSERT_TRUE(registry.cancelThread(worker.id()));
    ASSERT_TRUE(worker.join(10000)) << "the cancelled thread still runs";
    EXPECT_EQ(worker.exitCode(), 0u);
    EXPECT_TRUE(cleanedUp);
    EXPECT_FALSE(wokeNormally);
    EXPECT_TRUE(anyContains(log.lines(), L"Info: Thread #" + std::to_wstring(worker.id()) + L" is going to be canceled!"));
    EXPECT_FALSE(registry.isRegistered(worker.id()));  // its points all closed
    EXPECT_FALSE(registry.cancelThread(worker.id()));
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

TEST(Threads, ATimedWaitIsInterruptedToo) {
    EnabledRegistry enabled;
    std::atomic<bool> waiting{false};
    std::atomic<ULONGLONG> endedAt{0};
    LambdaThread worker([&]() -> DWORD {
        struct Stamp {
            std::atomic<ULONGLONG>& at;
            ~Stamp() { at = ::GetTickCount64(); }
        } stamp{endedAt};
        waiting = true;
        tarvo::threads::Sleep(60000);
        return 1;
    });
    const ULONGLONG start = ::GetTickCount64();
    worker.begin();
    for (int i = 0; i < 1000 && !(waiting && CancelationRegistry::instance().isRegistered(worker.id())); ++i) ::Sleep(5);
    ::Sleep(50);
    ASSERT_TRUE(CancelationRegistry::instance().cancelThread(worker.id()));
    ASSERT_TRUE(worker.join(10000));
    EXPECT_EQ(worker.exitCode(), 0u);
    EXPECT_LT(endedAt - start, 30000u);
}
