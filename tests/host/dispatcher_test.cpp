// Events and waits: notification events stay signalled and release every
// waiter, synchronization events release one waiter and reset; timeouts.
#include "host_test_driver.h"
#include "nt_time.h"

#include "dispatcher.h"
#include "kernel_impl.h"

#include "../support/deadline.h"

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace hosttest {
namespace {

constexpr LONGLONG kShortRelativeTimeout = -10 * 10000;  // 10 ms, relative

class DispatcherTest : public HostKernelTest {
protected:
    // Starts `count` threads that each wait for the event; returns once all
    // of them are blocked in the wait.
    void StartWaiters(PKEVENT event, int count)
    {
        for (int i = 0; i < count; ++i) {
            waiters_.emplace_back([this, event] {
                KeSetEvent(&ready_, IO_NO_INCREMENT, FALSE);
                EXPECT_EQ(WaitSafely(event), STATUS_SUCCESS);
                ++released_;
                KeSetEvent(&releasedOne_, IO_NO_INCREMENT, FALSE);
            });
            ASSERT_EQ(WaitSafely(&ready_), STATUS_SUCCESS);
        }
        // A waiter is blocked once its wait block is linked on the event.
        const zel::test::Deadline deadline;
        while (CountWaitBlocks(event) != count) {
            ASSERT_FALSE(deadline.Passed());
            std::this_thread::yield();
        }
    }

    static int CountWaitBlocks(PKEVENT event)
    {
        return host::Internals().Dispatch().WaiterCount(&event->Header);
    }

    void JoinWaiters()
    {
        for (auto& waiter : waiters_) {
            waiter.join();
        }
        waiters_.clear();
    }

    void SetUp() override
    {
        HostKernelTest::SetUp();
        KeInitializeEvent(&ready_, SynchronizationEvent, FALSE);
        KeInitializeEvent(&releasedOne_, SynchronizationEvent, FALSE);
    }

    KEVENT ready_;
    KEVENT releasedOne_;
    std::atomic<int> released_{0};
    std::vector<std::thread> waiters_;
};

TEST_F(DispatcherTest, NotificationEventReleasesEveryWaiterAndStaysSignalled)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    StartWaiters(&event, 3);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    JoinWaiters();
    EXPECT_EQ(released_, 3);
    EXPECT_EQ(event.Header.SignalState, 1);
    EXPECT_EQ(WaitSafely(&event), STATUS_SUCCESS);
    EXPECT_EQ(event.Header.SignalState, 1);
    KeClearEvent(&event);
    EXPECT_EQ(event.Header.SignalState, 0);
}

TEST_F(DispatcherTest, SynchronizationEventReleasesOneWaiterAtATime)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    StartWaiters(&event, 2);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    ASSERT_EQ(WaitSafely(&releasedOne_), STATUS_SUCCESS);
    EXPECT_EQ(released_, 1);
    EXPECT_EQ(event.Header.SignalState, 0);  // the waiter took the signal
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    JoinWaiters();
    EXPECT_EQ(released_, 2);
    EXPECT_EQ(event.Header.SignalState, 0);
}

TEST_F(DispatcherTest, SignalledSynchronizationEventSatisfiesOneWaitAndResets)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, TRUE);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
}

TEST_F(DispatcherTest, WaitTimesOutOnAnEventNeverSet)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER relative;
    relative.QuadPart = kShortRelativeTimeout;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &relative),
              STATUS_TIMEOUT);
    LARGE_INTEGER absolute;
    absolute.QuadPart = host::nt_time::SystemTimeNow() - 1;  // already past
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &absolute),
              STATUS_TIMEOUT);
    EXPECT_TRUE(IsListEmpty(&event.Header.WaitListHead));
}

TEST_F(DispatcherTest, ZeroTimeoutPollIsAllowedAtDispatchLevel)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    KeClearEvent(&event);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    KeLowerIrql(irql);
    EXPECT_EQ(irql, PASSIVE_LEVEL);
}

TEST_F(DispatcherTest, DelayExecutionReturnsSuccess)
{
    LARGE_INTEGER interval;
    interval.QuadPart = -1;
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
}

using DispatcherDeathTest = DispatcherTest;

TEST_F(DispatcherDeathTest, WaitAtDispatchLevel)
{
    EXPECT_DEATH(
        {
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            LARGE_INTEGER timeout;
            timeout.QuadPart = kShortRelativeTimeout;
            KIRQL irql;
            KeRaiseIrql(DISPATCH_LEVEL, &irql);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
        },
        "IRQL_NOT_LESS_OR_EQUAL: KeWaitForSingleObject called at IRQL 2");
}

TEST_F(DispatcherDeathTest, DelayAtDispatchLevel)
{
    EXPECT_DEATH(
        {
            LARGE_INTEGER interval;
            interval.QuadPart = -1;
            KIRQL irql;
            KeRaiseIrql(DISPATCH_LEVEL, &irql);
            KeDelayExecutionThread(KernelMode, FALSE, &interval);
        },
        "IRQL_NOT_LESS_OR_EQUAL: KeDelayExecutionThread");
}

TEST_F(DispatcherDeathTest, WaitOnAnUninitialisedObject)
{
    EXPECT_DEATH(
        {
            KEVENT event;
            std::memset(&event, 0xCD, sizeof(event));
            WaitSafely(&event);
        },
        "INVALID_KERNEL_OBJECT");
}

}  // namespace
}  // namespace hosttest
