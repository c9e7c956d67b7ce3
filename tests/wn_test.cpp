// The owning handle wrappers, threads and waitable timers, against the real kernel objects.
#include <gtest/gtest.h>

#include <atomic>

#include "WnThread.h"

namespace {

constexpr DWORD kMagicError = 0x12345678;

TEST(WnHandleTest, CloseKeepsLastErrorAndEmptiesWrapper)
{
    WnEvent event;
    ASSERT_EQ(0u, event.Create(true, false));
    ASSERT_NE(nullptr, event.Get());
    SetLastError(kMagicError);
    event.Close();
    EXPECT_EQ(kMagicError, GetLastError());
    EXPECT_EQ(nullptr, event.Get());
    event.Close();  // harmless when empty
    EXPECT_EQ(nullptr, event.Get());
}

TEST(WnEventTest, RecreateReplacesTheEventAndSetResetWork)
{
    WnEvent event;
    ASSERT_EQ(0u, event.Create(true, true));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event.Get(), 0));
    ASSERT_EQ(0u, event.Create(true, false));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(event.Get(), 0));
    EXPECT_EQ(0u, event.Set());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event.Get(), 0));
    EXPECT_EQ(0u, event.Reset());
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(event.Get(), 0));
}

TEST(WnEventTest, FailedCreateLeavesWrapperEmpty)
{
    WnMutex mutex;
    ASSERT_EQ(0u, mutex.Create(false, L"WnTest-name-taken-by-a-mutex"));
    WnEvent event;
    ASSERT_EQ(0u, event.Create(false, false));
    EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_HANDLE), event.Create(false, false, L"WnTest-name-taken-by-a-mutex"));
    EXPECT_EQ(nullptr, event.Get());
}

TEST(WnMutexTest, FreshNameGivesZeroExistingNameGives183WithHandle)
{
    WnMutex first;
    WnMutex second;
    EXPECT_EQ(0u, first.Create(false, L"WnTest-mutex-fresh"));
    EXPECT_NE(nullptr, first.Get());
    EXPECT_EQ(static_cast<uint32_t>(ERROR_ALREADY_EXISTS), second.Create(false, L"WnTest-mutex-fresh"));
    ASSERT_NE(nullptr, second.Get());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(second.Get(), 0));  // a real handle to the mutex
    ReleaseMutex(second.Get());
    first.Close();
    second.Close();
    WnMutex third;
    EXPECT_EQ(0u, third.Create(false, L"WnTest-mutex-fresh"));  // gone with its last handle
}

class GateThread {
public:
    GateThread()
    {
        forwarder.object = this;
        forwarder.function = &GateThread::Body;
        gate.Create(true, false);
    }
    uint32_t Body()
    {
        WaitForSingleObject(gate.Get(), INFINITE);
        ++runs;
        return 42;
    }
    WnThreadCallbackForwarderT<GateThread> forwarder;
    WnEvent gate;
    std::atomic<int> runs{0};
};

TEST(WnThreadTest, WaitTimesOutThenEmptiesWhenThreadEnds)
{
    GateThread owner;
    WnThread thread;
    ASSERT_EQ(0u, thread.Start(&owner.forwarder));
    EXPECT_NE(0u, thread.GetThreadId());
    HANDLE running = thread.Get();
    ASSERT_NE(nullptr, running);

    EXPECT_EQ(static_cast<uint32_t>(WAIT_TIMEOUT), thread.Wait(20));
    EXPECT_EQ(running, thread.Get());
    EXPECT_EQ(static_cast<uint32_t>(ERROR_ALREADY_EXISTS), thread.Start(&owner.forwarder));

    owner.gate.Set();
    EXPECT_EQ(0u, thread.Wait(INFINITE));
    EXPECT_EQ(nullptr, thread.Get());
    EXPECT_EQ(1, owner.runs.load());
    EXPECT_EQ(0u, thread.Wait(0));  // no thread: nothing to wait for

    // After a successful wait the object starts again.
    ASSERT_EQ(0u, thread.Start(&owner.forwarder));
    EXPECT_EQ(0u, thread.Wait(INFINITE));
    EXPECT_EQ(2, owner.runs.load());
}

TEST(WnThreadTest, ExitCodeIsTheCallbackResult)
{
    GateThread owner;
    owner.gate.Set();
    WnThread thread;
    ASSERT_EQ(0u, thread.Start(&owner.forwarder, 0, CREATE_SUSPENDED));
    HANDLE copy = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), thread.Get(), GetCurrentProcess(), &copy, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    EXPECT_EQ(0, owner.runs.load());  // created suspended: the flags reach the thread
    ResumeThread(thread.Get());
    EXPECT_EQ(0u, thread.Wait(INFINITE));
    DWORD exitCode = 0;
    EXPECT_TRUE(GetExitCodeThread(copy, &exitCode));
    EXPECT_EQ(42u, exitCode);
    CloseHandle(copy);
}

class TimerOwner {
public:
    TimerOwner()
    {
        forwarder.object = this;
        forwarder.function = &TimerOwner::OnTimer;
    }
    void OnTimer(uint32_t low, uint32_t high)
    {
        ++expiries;
        lastTime = (static_cast<uint64_t>(high) << 32) | low;
    }
    // Alertable sleep until the count reaches the target or the time is up.
    void SleepUntil(int target, DWORD maxMs)
    {
        const ULONGLONG end = GetTickCount64() + maxMs;
        while (expiries < target && GetTickCount64() < end)
            SleepEx(10, TRUE);
    }
    WnWaitableTimerCallbackForwarderT<TimerOwner> forwarder;
    int expiries = 0;
    uint64_t lastTime = 0;
};

TEST(WnWaitableTimerTest, CallbackRunsOnlyInAlertableWaitFirstSoonThenEveryPeriod)
{
    TimerOwner owner;
    WnWaitableTimer timer;
    ASSERT_EQ(0u, timer.Create(false));
    ASSERT_EQ(0u, timer.Set(400, &owner.forwarder, false));  // first expiry 40 us after the call

    Sleep(50);  // not alertable: the completion routine cannot run here
    EXPECT_EQ(0, owner.expiries);
    SleepEx(0, TRUE);
    EXPECT_EQ(1, owner.expiries);
    EXPECT_NE(0u, owner.lastTime);  // the expiry time reaches the callback

    SleepEx(150, TRUE);  // well inside the period: no second expiry yet
    EXPECT_EQ(1, owner.expiries);
    owner.SleepUntil(3, 3000);
    EXPECT_EQ(3, owner.expiries);
}

TEST(WnWaitableTimerTest, NonPositivePeriodIsRefusedAndArmsNothing)
{
    TimerOwner owner;
    WnWaitableTimer timer;
    ASSERT_EQ(0u, timer.Create(true));
    for (int32_t period : {0, -5}) {
        EXPECT_EQ(static_cast<uint32_t>(ERROR_INVALID_PARAMETER), timer.Set(period, &owner.forwarder, false));
    }
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObjectEx(timer.Get(), 100, TRUE));
    EXPECT_EQ(0, owner.expiries);
}

TEST(WnWaitableTimerTest, WithoutCallbackTheTimerIsSignalled)
{
    WnWaitableTimer timer;
    ASSERT_EQ(0u, timer.Create(true));
    ASSERT_EQ(0u, timer.Set(1000, nullptr, false));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(timer.Get(), 1000));
    EXPECT_EQ(0u, timer.Cancel());
}

TEST(WnWaitableTimerTest, DestroyedTimerRunsNoMoreCallbacks)
{
    TimerOwner owner;
    {
        WnWaitableTimer timer;
        ASSERT_EQ(0u, timer.Create(false));
        ASSERT_EQ(0u, timer.Set(300, &owner.forwarder, false));
        owner.SleepUntil(1, 1000);
        ASSERT_EQ(1, owner.expiries);
    }
    SleepEx(900, TRUE);  // three periods
    EXPECT_EQ(1, owner.expiries);
}

TEST(WnWaitableTimerTest, CancelStopsExpiriesAndRecreateWorks)
{
    TimerOwner owner;
    WnWaitableTimer timer;
    EXPECT_EQ(0u, timer.Cancel());  // no handle
    ASSERT_EQ(0u, timer.Create(false));
    ASSERT_EQ(0u, timer.Set(200, &owner.forwarder, false));
    owner.SleepUntil(1, 1000);
    ASSERT_EQ(1, owner.expiries);
    EXPECT_EQ(0u, timer.Cancel());
    SleepEx(500, TRUE);
    EXPECT_EQ(1, owner.expiries);
    ASSERT_EQ(0u, timer.Create(false));  // re-create cancels and replaces the old timer
    ASSERT_EQ(0u, timer.Set(200, &owner.forwarder, false));
    owner.SleepUntil(2, 1000);
    EXPECT_EQ(2, owner.expiries);
}

}  // namespace
