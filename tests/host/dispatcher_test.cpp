// Events and waits.
#include "host_test_driver.h"
#include "nt_time.h"

#include "dispatcher.h"
#include "kernel_impl.h"

#include "../support/deadline.h"

namespace hosttest {
namespace {

constexpr LONGLONG kShortRelativeTimeout = -10 * 10000;  // 10 ms

class DispatcherTest : public HostKernelTest {
protected:
    // Starts `count` threads waiting for the event, each setting
    // releasedOne_ once released; returns once all block.
    void StartWaiters(PKEVENT event, int count)
    {
        KeInitializeEvent(&releasedOne_, SynchronizationEvent, FALSE);
        for (int i = 0; i < count; ++i) {
            waiters_.emplace_back([this, event] {
                EXPECT_EQ(WaitSafely(event), STATUS_SUCCESS);
                ++released_;
                KeSetEvent(&releasedOne_, IO_NO_INCREMENT, FALSE);
            });
        }
        const zel::test::Deadline deadline;
        while (host::Internals().Dispatch().WaiterCount(&event->Header) != count) {
            ASSERT_FALSE(deadline.Passed());
            std::this_thread::yield();
        }
    }

    void JoinWaiters()
    {
        for (auto& waiter : waiters_) {
            waiter.join();
        }
        waiters_.clear();
    }

    KEVENT releasedOne_;
    std::atomic<int> released_{0};
    std::vector<std::thread> waiters_;
};

// A notification event releases every waiter and stays signalled until
// cleared; a synchronization event releases one waiter and resets.
TEST_F(DispatcherTest, EventsReleaseTheirWaiters)
{
    KEVENT notification;
    KeInitializeEvent(&notification, NotificationEvent, FALSE);
    StartWaiters(&notification, 3);
    EXPECT_EQ(KeSetEvent(&notification, IO_NO_INCREMENT, FALSE), 0);
    JoinWaiters();
    EXPECT_EQ(released_, 3);
    KeClearEvent(&notification);
    EXPECT_EQ(notification.Header.SignalState, 0);

    KEVENT synchronization;
    KeInitializeEvent(&synchronization, SynchronizationEvent, FALSE);
    StartWaiters(&synchronization, 2);
    KeSetEvent(&synchronization, IO_NO_INCREMENT, FALSE);
    ASSERT_EQ(WaitSafely(&releasedOne_), STATUS_SUCCESS);
    EXPECT_EQ(released_, 4);
    EXPECT_EQ(synchronization.Header.SignalState, 0);  // the waiter took the signal
    KeSetEvent(&synchronization, IO_NO_INCREMENT, FALSE);
    JoinWaiters();
    EXPECT_EQ(released_, 5);
}

// Waits time out, relative or absolute; a zero timeout polls, at
// DISPATCH_LEVEL too, and a signalled synchronization event satisfies one
// wait and resets.
TEST_F(DispatcherTest, WaitsTimeOutOrPoll)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER relative = Due(kShortRelativeTimeout);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &relative),
              STATUS_TIMEOUT);
    LARGE_INTEGER absolute = Due(host::nt_time::SystemTimeNow() - 1);  // already past
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &absolute),
              STATUS_TIMEOUT);
    EXPECT_TRUE(IsListEmpty(&event.Header.WaitListHead));

    KeInitializeEvent(&event, SynchronizationEvent, TRUE);
    LARGE_INTEGER zero = Due(0);
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    KeLowerIrql(irql);
}

using DispatcherDeathTest = DispatcherTest;

TEST_F(DispatcherDeathTest, WaitingAtDispatchLevelOrOnAnUninitialisedObject)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout = Due(kShortRelativeTimeout);
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    EXPECT_DEATH(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout),
                 "IRQL_NOT_LESS_OR_EQUAL: KeWaitForSingleObject called at IRQL 2");
    EXPECT_DEATH(KeDelayExecutionThread(KernelMode, FALSE, &timeout),
                 "IRQL_NOT_LESS_OR_EQUAL: KeDelayExecutionThread");
    // Both leave IRQL raised or charge quota, which only a thread that may
    // wait can do.
    EXPECT_DEATH(KeSetEvent(&event, IO_NO_INCREMENT, TRUE),
                 "IRQL_NOT_LESS_OR_EQUAL: KeSetEvent with Wait TRUE");
    EXPECT_DEATH(IoAllocateIrp(1, TRUE), "IRQL_NOT_LESS_OR_EQUAL: IoAllocateIrp charging quota");
    KeLowerIrql(irql);
    std::memset(&event, 0xCD, sizeof(event));
    EXPECT_DEATH(WaitSafely(&event), "INVALID_KERNEL_OBJECT");
}

}  // namespace
}  // namespace hosttest
