// Work items, run on the system worker thread.
#include "host_test_driver.h"

#include <utility>

namespace hosttest {
namespace {

struct WorkRecord {
    PIO_WORKITEM Item = nullptr;
    std::atomic<KIRQL> Irql{HIGH_LEVEL};
    std::atomic<PDEVICE_OBJECT> Device{nullptr};
    std::atomic<std::thread::id> Thread{};
    bool FreeInRoutine = false;
    KEVENT Done;
};

void NTAPI RecordWork(PDEVICE_OBJECT device, PVOID context)
{
    auto* record = static_cast<WorkRecord*>(context);
    record->Irql = KeGetCurrentIrql();
    record->Device = device;
    record->Thread = std::this_thread::get_id();
    if (record->FreeInRoutine) {
        IoFreeWorkItem(std::exchange(record->Item, nullptr));
    }
    KeSetEvent(&record->Done, IO_NO_INCREMENT, FALSE);
}

class WorkItemTest : public HostKernelTest {
protected:
    void SetUp() override
    {
        HostKernelTest::SetUp();
        LoadDriver();
        KeInitializeEvent(&record_.Done, SynchronizationEvent, FALSE);
        record_.Item = IoAllocateWorkItem(driver_.Device(0));
        ASSERT_NE(record_.Item, nullptr);
    }

    void TearDown() override
    {
        if (record_.Item != nullptr) {
            IoFreeWorkItem(record_.Item);
        }
        HostKernelTest::TearDown();
    }

    WorkRecord record_;
};

TEST_F(WorkItemTest, QueuedAtDispatchLevelRunsAtPassiveLevelElsewhereAndMayComeAgain)
{
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    IoQueueWorkItem(record_.Item, RecordWork, DelayedWorkQueue, &record_);
    KeLowerIrql(irql);
    ASSERT_EQ(WaitSafely(&record_.Done), STATUS_SUCCESS);
    EXPECT_EQ(record_.Irql, PASSIVE_LEVEL);
    EXPECT_EQ(record_.Device, driver_.Device(0));
    EXPECT_NE(record_.Thread.load(), std::this_thread::get_id());
    // Queued again once it ran; this time the routine frees its item.
    record_.FreeInRoutine = true;
    IoQueueWorkItem(record_.Item, RecordWork, CriticalWorkQueue, &record_);
    ASSERT_EQ(WaitSafely(&record_.Done), STATUS_SUCCESS);
    EXPECT_EQ(record_.Item, nullptr);
}

using WorkItemDeathTest = WorkItemTest;

TEST_F(WorkItemDeathTest, ItemLeakedAtUnloadForNoDeviceOrReturningWithASpinLockHeld)
{
    EXPECT_DEATH(Kernel().UnloadDriver(),
                 "DRIVER_VERIFIER_DETECTED_VIOLATION.*without freeing its work items");
    EXPECT_DEATH(IoAllocateWorkItem(nullptr),
                 "DRIVER_VERIFIER_DETECTED_VIOLATION.*null device object");
    EXPECT_DEATH(
        {
            IoQueueWorkItem(
                record_.Item,
                [](PDEVICE_OBJECT device, PVOID) {
                    KIRQL irql;
                    KeAcquireSpinLock(&TestDriver::Extension(device)->Lock, &irql);
                },
                DelayedWorkQueue, nullptr);
            WaitSafely(&record_.Done);  // never set: the stop ends the wait
        },
        "work item routine returned holding 1 spin lock");
}

}  // namespace
}  // namespace hosttest
