// Timers and DPCs.
#include "host_test_driver.h"

namespace hosttest {
namespace {

constexpr LONGLONG kOneHour = -36000000000LL;  // relative, 100-ns units
constexpr LONGLONG kAtOnce = -1;
constexpr ULONG kTimerTag = 0x726D6954;  // "Timr"

// What a DPC saw when it ran.
struct DpcRecord {
    std::atomic<int> Runs{0};
    std::atomic<KIRQL> Irql{PASSIVE_LEVEL};
    std::atomic<bool> Release{true};  // a DPC spins until this is set
    KEVENT Ran;
};

void NTAPI RecordDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* record = static_cast<DpcRecord*>(context);
    record->Irql = KeGetCurrentIrql();
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
        KeFlushQueuedDpcs();
        HostKernelTest::TearDown();
    }

    KTIMER timer_;
    KDPC dpc_;
    DpcRecord record_;
};

TEST_F(TimerTest, SetAndCancelReportWhetherQueuedAndExpiryRunsTheDpcOnce)
{
    EXPECT_FALSE(KeSetTimer(&timer_, Due(kOneHour), &dpc_));
    EXPECT_TRUE(KeSetTimer(&timer_, Due(kAtOnce), &dpc_));  // the new due time replaces the old
    ASSERT_EQ(WaitSafely(&timer_), STATUS_SUCCESS);
    ASSERT_EQ(WaitSafely(&record_.Ran), STATUS_SUCCESS);
    KeFlushQueuedDpcs();
    EXPECT_EQ(record_.Runs, 1);
    EXPECT_EQ(record_.Irql, DISPATCH_LEVEL);
    EXPECT_FALSE(KeCancelTimer(&timer_));  // expired: no longer queued

    EXPECT_FALSE(KeSetTimer(&timer_, Due(kOneHour), nullptr));
    EXPECT_EQ(timer_.Header.SignalState, 0);  // setting resets the signal
    EXPECT_TRUE(KeCancelTimer(&timer_));
    EXPECT_FALSE(KeCancelTimer(&timer_));
}

// A DPC, in pool, that holds the DPC thread until released.
class HeldDpc {
public:
    HeldDpc()
    {
        record_.Release = false;
        KeInitializeEvent(&record_.Ran, SynchronizationEvent, FALSE);
        KeInitializeDpc(dpc_, RecordDpc, &record_);
        KeInitializeTimer(&timer_);
        KeSetTimer(&timer_, Due(kAtOnce), dpc_);
        while (record_.Irql != DISPATCH_LEVEL) {  // running, and held there
            std::this_thread::yield();
        }
    }
    ~HeldDpc()
    {
        Release();
        KeFlushQueuedDpcs();
        ExFreePoolWithTag(dpc_, kTimerTag);
    }
    void Release() { record_.Release = true; }
    int Runs() const { return record_.Runs; }
    PKDPC Dpc() const { return dpc_; }

private:
    DpcRecord record_;
    PKDPC dpc_ = static_cast<PKDPC>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KDPC), kTimerTag));
    KTIMER timer_;
};

TEST_F(TimerTest, FlushReturnsOnlyOnceTheRunningDpcHasRun)
{
    HeldDpc held;
    int runsSeenByFlush = 0;
    std::thread flushing([&] {
        KeFlushQueuedDpcs();
        runsSeenByFlush = held.Runs();
    });
    held.Release();
    flushing.join();
    EXPECT_EQ(runsSeenByFlush, 1);
}

using TimerDeathTest = TimerTest;

TEST_F(TimerDeathTest, TimersLeftQueuedOrFreedAndFlushAbovePassiveLevel)
{
    EXPECT_DEATH((RaiseIrql(APC_LEVEL), KeFlushQueuedDpcs()),
                 "IRQL_NOT_LESS_OR_EQUAL: KeFlushQueuedDpcs called at IRQL 1");
    LoadDriver();
    EXPECT_DEATH((KeSetTimer(&timer_, Due(kOneHour), nullptr), Kernel().UnloadDriver()),
                 "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS.*timer");
    auto* timer =
        static_cast<PKTIMER>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KTIMER), kTimerTag));
    KeInitializeTimer(timer);
    KeSetTimer(timer, Due(kOneHour), nullptr);
    EXPECT_DEATH(ExFreePoolWithTag(timer, kTimerTag), "TIMER_OR_DPC_INVALID");
    KeCancelTimer(timer);
    ExFreePoolWithTag(timer, kTimerTag);
    EXPECT_DEATH(
        {
            HeldDpc held;
            ExFreePoolWithTag(held.Dpc(), kTimerTag);
        },
        "TIMER_OR_DPC_INVALID.*still running");
    KeInitializeDpc(
        &dpc_, [](PKDPC, PVOID, PVOID, PVOID) { KeLowerIrql(PASSIVE_LEVEL); }, nullptr);
    EXPECT_DEATH((KeSetTimer(&timer_, Due(kAtOnce), &dpc_), WaitSafely(&record_.Ran)),
                 "IRQL_UNEXPECTED_VALUE: DPC routine");
}

}  // namespace
}  // namespace hosttest
