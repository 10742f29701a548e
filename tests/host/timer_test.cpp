// Timers and DPCs: KeSetTimer/KeCancelTimer report whether the timer was
// queued, a new due time replaces the old, expiry signals the timer and runs
// its DPC at DISPATCH_LEVEL; DPCs run once per insertion, and the timer
// thread runs them one at a time.
#include "host_test_driver.h"

#include <atomic>
#include <thread>

namespace hosttest {
namespace {

constexpr LONGLONG kOneHour = -36000000000LL;  // relative, 100-ns units
constexpr LONGLONG kAtOnce = -1;
constexpr ULONG kTimerTag = 0x726D6954;  // "Timr"

LARGE_INTEGER Due(LONGLONG value)
{
    LARGE_INTEGER due;
    due.QuadPart = value;
    return due;
}

// What a DPC saw when it ran.
struct DpcRecord {
    std::atomic<int> Runs{0};
    std::atomic<KIRQL> Irql{PASSIVE_LEVEL};
    std::atomic<PVOID> Argument1{nullptr};
    std::atomic<bool> Release{true};  // a DPC spins until this is set
    KEVENT Ran;
};

void NTAPI RecordDpc(PKDPC, PVOID context, PVOID argument1, PVOID)
{
    auto* record = static_cast<DpcRecord*>(context);
    record->Irql = KeGetCurrentIrql();
    record->Argument1 = argument1;
    while (!record->Release) {
        std::this_thread::yield();
    }
    ++record->Runs;
    KeSetEvent(&record->Ran, IO_NO_INCREMENT, FALSE);
}

class TimerTest : public HostKernelTest {
protected:
    void SetUp() override
    {
        HostKernelTest::SetUp();
        KeInitializeTimer(&timer_);
        KeInitializeEvent(&record_.Ran, SynchronizationEvent, FALSE);
        KeInitializeDpc(&dpc_, RecordDpc, &record_);
    }

    void TearDown() override
    {
        KeCancelTimer(&timer_);
        KeRemoveQueueDpc(&dpc_);
        record_.Release = true;
        HostKernelTest::TearDown();
    }

    KTIMER timer_;
    KDPC dpc_;
    DpcRecord record_;
};

TEST_F(TimerTest, SetAndCancelReportWhetherTheTimerWasQueued)
{
    EXPECT_FALSE(KeSetTimer(&timer_, Due(kOneHour), nullptr));
    EXPECT_TRUE(KeSetTimer(&timer_, Due(kOneHour), nullptr));
    EXPECT_TRUE(KeCancelTimer(&timer_));
    EXPECT_FALSE(KeCancelTimer(&timer_));
    EXPECT_FALSE(KeReadStateTimer(&timer_));
}

TEST_F(TimerTest, NewDueTimeReplacesTheOld)
{
    EXPECT_FALSE(KeSetTimer(&timer_, Due(kOneHour), &dpc_));
    EXPECT_TRUE(KeSetTimer(&timer_, Due(kAtOnce), &dpc_));
    ASSERT_EQ(WaitSafely(&timer_), STATUS_SUCCESS);
    EXPECT_TRUE(KeReadStateTimer(&timer_));
    ASSERT_EQ(WaitSafely(&record_.Ran), STATUS_SUCCESS);
    EXPECT_EQ(record_.Runs, 1);
    EXPECT_FALSE(KeCancelTimer(&timer_));  // expired: no longer queued
}

TEST_F(TimerTest, ExpiryRunsTheDpcAtDispatchLevel)
{
    KeSetTimer(&timer_, Due(kAtOnce), &dpc_);
    ASSERT_EQ(WaitSafely(&record_.Ran), STATUS_SUCCESS);
    EXPECT_EQ(record_.Irql, DISPATCH_LEVEL);
}

TEST_F(TimerTest, SettingATimerResetsItsSignal)
{
    KeSetTimer(&timer_, Due(kAtOnce), nullptr);
    ASSERT_EQ(WaitSafely(&timer_), STATUS_SUCCESS);
    EXPECT_TRUE(KeReadStateTimer(&timer_));
    KeSetTimer(&timer_, Due(kOneHour), nullptr);
    EXPECT_FALSE(KeReadStateTimer(&timer_));
}

TEST_F(TimerTest, AbsoluteDueTime)
{
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    KeSetTimer(&timer_, Due(now.QuadPart), nullptr);
    EXPECT_EQ(WaitSafely(&timer_), STATUS_SUCCESS);
}

TEST_F(TimerTest, SynchronizationTimerSatisfiesOneWait)
{
    KTIMER timer;
    KeInitializeTimerEx(&timer, SynchronizationTimer);
    KeSetTimer(&timer, Due(kAtOnce), nullptr);
    ASSERT_EQ(WaitSafely(&timer), STATUS_SUCCESS);
    EXPECT_FALSE(KeReadStateTimer(&timer));
}

TEST_F(TimerTest, PeriodicTimerFiresAgainUntilCancelled)
{
    constexpr LONG kPeriodMs = 1;
    KeSetTimerEx(&timer_, Due(kAtOnce), kPeriodMs, &dpc_);
    ASSERT_EQ(WaitSafely(&record_.Ran), STATUS_SUCCESS);
    ASSERT_EQ(WaitSafely(&record_.Ran), STATUS_SUCCESS);
    EXPECT_TRUE(KeCancelTimer(&timer_));
    EXPECT_GE(record_.Runs, 2);
}

TEST_F(TimerTest, DpcRunsOncePerInsertionAndOneAtATime)
{
    // A first DPC holds the DPC thread so the second one stays queued.
    DpcRecord blocker;
    blocker.Release = false;
    KeInitializeEvent(&blocker.Ran, SynchronizationEvent, FALSE);
    KDPC blockerDpc;
    KeInitializeDpc(&blockerDpc, RecordDpc, &blocker);
    ASSERT_TRUE(KeInsertQueueDpc(&blockerDpc, nullptr, nullptr));

    PVOID argument = &timer_;
    EXPECT_TRUE(KeInsertQueueDpc(&dpc_, argument, nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&dpc_, nullptr, nullptr));
    EXPECT_TRUE(KeRemoveQueueDpc(&dpc_));
    EXPECT_FALSE(KeRemoveQueueDpc(&dpc_));
    EXPECT_TRUE(KeInsertQueueDpc(&dpc_, argument, nullptr));
    EXPECT_EQ(record_.Runs, 0);

    blocker.Release = true;
    ASSERT_EQ(WaitSafely(&blocker.Ran), STATUS_SUCCESS);
    ASSERT_EQ(WaitSafely(&record_.Ran), STATUS_SUCCESS);
    EXPECT_EQ(record_.Runs, 1);
    EXPECT_EQ(record_.Argument1, argument);
    EXPECT_EQ(record_.Irql, DISPATCH_LEVEL);
    // Once run, it may be queued again.
    EXPECT_TRUE(KeInsertQueueDpc(&dpc_, nullptr, nullptr));
    ASSERT_EQ(WaitSafely(&record_.Ran), STATUS_SUCCESS);
    EXPECT_EQ(record_.Runs, 2);
}

TEST_F(TimerTest, FlushReturnsOnlyOnceTheRunningAndQueuedDpcsHaveRun)
{
    DpcRecord blocker;
    blocker.Release = false;
    KeInitializeEvent(&blocker.Ran, SynchronizationEvent, FALSE);
    KDPC blockerDpc;
    KeInitializeDpc(&blockerDpc, RecordDpc, &blocker);
    ASSERT_TRUE(KeInsertQueueDpc(&blockerDpc, nullptr, nullptr));
    while (blocker.Irql != DISPATCH_LEVEL) {  // running, and held there
        std::this_thread::yield();
    }
    ASSERT_TRUE(KeInsertQueueDpc(&dpc_, nullptr, nullptr));  // queued behind it

    int runsSeenByFlush = 0;
    std::thread flushing([&] {
        KeFlushQueuedDpcs();
        runsSeenByFlush = blocker.Runs + record_.Runs;
    });
    blocker.Release = true;
    flushing.join();
    EXPECT_EQ(runsSeenByFlush, 2);
}

TEST_F(TimerTest, FlushDoesNotWaitForDpcsQueuedAfterIt)
{
    constexpr LONG kPeriodMs = 1;
    KeSetTimerEx(&timer_, Due(kAtOnce), kPeriodMs, &dpc_);
    ASSERT_EQ(WaitSafely(&record_.Ran), STATUS_SUCCESS);
    KeFlushQueuedDpcs();  // the timer keeps queueing its DPC meanwhile
    KeCancelTimer(&timer_);
    KeFlushQueuedDpcs();
    const int runs = record_.Runs;
    EXPECT_FALSE(KeRemoveQueueDpc(&dpc_));
    EXPECT_EQ(record_.Runs, runs) << "nothing ran after the last flush";
}

TEST_F(TimerTest, TickCountAndSystemTimeAdvance)
{
    LARGE_INTEGER first;
    LARGE_INTEGER second;
    KeQuerySystemTime(&first);
    KeQueryTickCount(&second);
    EXPECT_GT(first.QuadPart, 0);
    EXPECT_GE(second.QuadPart, 0);
    EXPECT_EQ(KeQueryTimeIncrement(), 156250u);
}

using TimerDeathTest = HostKernelTest;

TEST_F(TimerDeathTest, TimerLeftQueuedAtUnload)
{
    static KTIMER timer;
    driver_.Entry = [](PDRIVER_OBJECT driver) {
        TestDriver::Current->CreateDevice(driver, "\\Device\\HostTest0", "", true);
        KeInitializeTimer(&timer);
        KeSetTimer(&timer, Due(kOneHour), nullptr);
        return STATUS_SUCCESS;
    };
    LoadDriver();
    EXPECT_DEATH(Kernel().UnloadDriver(), "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS.*timer");
    KeCancelTimer(&timer);
}

TEST_F(TimerDeathTest, FreeingPoolThatHoldsAQueuedTimer)
{
    EXPECT_DEATH(
        {
            auto* timer = static_cast<PKTIMER>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KTIMER), kTimerTag));
            KeInitializeTimer(timer);
            KeSetTimer(timer, Due(kOneHour), nullptr);
            ExFreePoolWithTag(timer, kTimerTag);
        },
        "TIMER_OR_DPC_INVALID");
}

TEST_F(TimerDeathTest, FreeingPoolThatHoldsARunningDpc)
{
    static std::atomic<bool> running{false};
    EXPECT_DEATH(
        {
            auto* dpc = static_cast<PKDPC>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KDPC), kTimerTag));
            KeInitializeDpc(
                dpc,
                [](PKDPC, PVOID, PVOID, PVOID) {
                    running = true;
                    for (;;) {
                        std::this_thread::yield();
                    }
                },
                nullptr);
            KeInsertQueueDpc(dpc, nullptr, nullptr);
            while (!running) {
                std::this_thread::yield();
            }
            ExFreePoolWithTag(dpc, kTimerTag);
        },
        "TIMER_OR_DPC_INVALID.*still running");
}

TEST_F(TimerDeathTest, FlushAbovePassiveLevel)
{
    EXPECT_DEATH(
        {
            KIRQL irql;
            KeRaiseIrql(APC_LEVEL, &irql);
            KeFlushQueuedDpcs();
        },
        "IRQL_NOT_LESS_OR_EQUAL: KeFlushQueuedDpcs called at IRQL 1");
}

TEST_F(TimerDeathTest, DpcReturningAtAnotherIrql)
{
    EXPECT_DEATH(
        {
            KDPC dpc;
            KEVENT never;
            KeInitializeEvent(&never, NotificationEvent, FALSE);
            KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) { KeLowerIrql(PASSIVE_LEVEL); }, nullptr);
            KeInsertQueueDpc(&dpc, nullptr, nullptr);
            WaitSafely(&never);
        },
        "IRQL_UNEXPECTED_VALUE: DPC routine");
}

}  // namespace
}  // namespace hosttest
