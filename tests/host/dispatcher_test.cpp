// Events and waits.
#include "host_test_driver.h"
#include "nt_time.h"

#include "dispatcher.h"
#include "kernel_impl.h"

#include "../support/eventually.h"

namespace hosttest {
namespace {

constexpr LONGLONG kShortRelativeTimeout = -10 * 10000;  // 10 ms

using DispatcherTest = HostKernelTest;

// A notification event releases every waiter and stays signalled until
// cleared; a synchronization event releases one waiter and resets.
TEST_F(DispatcherTest, EventsReleaseTheirWaiters)
{
    std::vector<std::thread> waiters;
    std::atomic<int> released{0};
    KEVENT releasedOne;
    // Starts `count` threads waiting for the event, each setting releasedOne
    // once released; returns once all block.
    const auto startWaiters = [&](PKEVENT event, int count) {
        KeInitializeEvent(&releasedOne, SynchronizationEvent, FALSE);
        for (int i = 0; i < count; ++i) {
            waiters.emplace_back([&, event] {
                EXPECT_EQ(WaitSafely(event), STATUS_SUCCESS);
                ++released;
                KeSetEvent(&releasedOne, IO_NO_INCREMENT, FALSE);
            });
        }
        ASSERT_TRUE(zel::test::Eventually(
            [&] { return host::Internals().Dispatch().WaiterCount(&event->Header) == count; }));
    };
    const auto joinWaiters = [&] {
        for (auto& waiter : waiters) {
            waiter.join();
        }
        waiters.clear();
    };
    KEVENT notification;
    KeInitializeEvent(&notification, NotificationEvent, FALSE);
    startWaiters(&notification, 3);
    EXPECT_EQ(KeSetEvent(&notification, IO_NO_INCREMENT, FALSE), 0);
    joinWaiters();
    EXPECT_EQ(released, 3);
    KeClearEvent(&notification);
    EXPECT_EQ(notification.Header.SignalState, 0);

    KEVENT synchronization;
    KeInitializeEvent(&synchronization, SynchronizationEvent, FALSE);
    startWaiters(&synchronization, 2);
    KeSetEvent(&synchronization, IO_NO_INCREMENT, FALSE);
    ASSERT_EQ(WaitSafely(&releasedOne), STATUS_SUCCESS);
    EXPECT_EQ(released, 4);
    EXPECT_EQ(synchronization.Header.SignalState, 0);  // the waiter took the signal
    KeSetEvent(&synchronization, IO_NO_INCREMENT, FALSE);
    joinWaiters();
    EXPECT_EQ(released, 5);
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
