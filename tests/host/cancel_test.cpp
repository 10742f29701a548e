// Cancelling pending requests through their cancel routines.
#include "host_test_driver.h"

namespace hosttest {
namespace {

constexpr ULONG kReadLength = 4;

// Guarded by the cancel spin lock.
struct CancelLog {
    std::vector<PIRP> Pending;
    int Calls = 0;
    bool SawCancelAtDispatchLevel = true;
};

CancelLog cancelLog;  // the running test's

void NTAPI CancelRead(PDEVICE_OBJECT, PIRP irp)
{
    ++cancelLog.Calls;
    cancelLog.SawCancelAtDispatchLevel &= irp->Cancel && KeGetCurrentIrql() == DISPATCH_LEVEL;
    auto& pending = cancelLog.Pending;
    pending.erase(std::remove(pending.begin(), pending.end(), irp), pending.end());
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Complete(irp, STATUS_CANCELLED);
}

// Pends every read with a cancel routine, the way a serial driver does.
NTSTATUS PendCancellable(PDEVICE_OBJECT, PIRP irp)
{
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelRead);
    cancelLog.Pending.push_back(irp);
    IoReleaseCancelSpinLock(irql);
    return STATUS_PENDING;
}

class CancelTest : public HostKernelTest {
protected:
    void SetUp() override
    {
        HostKernelTest::SetUp();
        driver_.Dispatch[IRP_MJ_READ] = PendCancellable;
        LoadDriver();
        cancelLog = CancelLog();
    }

    // Completes the oldest pending read the way a driver does when data
    // arrives: only if it can take the cancel routine back.
    void CompleteOldest()
    {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        PIRP irp = cancelLog.Pending.front();
        ASSERT_NE(IoSetCancelRoutine(irp, nullptr), nullptr);
        cancelLog.Pending.erase(cancelLog.Pending.begin());
        IoReleaseCancelSpinLock(irql);
        Complete(irp, STATUS_SUCCESS);
    }
};

// Closing a handle cancels nothing; a pending request holds the close.
TEST_F(CancelTest, CancelReachesOnlyPendingRequests)
{
    auto file = OpenOk(kTestDevice);
    auto completed = file->StartRead(kReadLength);
    auto first = file->StartRead(kReadLength);
    auto second = file->StartRead(kReadLength);
    auto third = file->StartRead(kReadLength);
    CompleteOldest();
    EXPECT_EQ(completed->Wait().Status, STATUS_SUCCESS);

    second->Cancel();
    EXPECT_EQ(second->Wait().Status, STATUS_CANCELLED);
    EXPECT_EQ(cancelLog.Calls, 1);
    EXPECT_TRUE(cancelLog.SawCancelAtDispatchLevel);
    EXPECT_FALSE(first->Done());

    completed->Cancel();
    file->CancelAll();
    EXPECT_EQ(first->Wait().Status, STATUS_CANCELLED);
    EXPECT_EQ(third->Wait().Status, STATUS_CANCELLED);
    EXPECT_EQ(cancelLog.Calls, 3);

    auto last = file->StartRead(kReadLength);
    file->Close();
    EXPECT_FALSE(last->Done());
    last->Cancel();
    EXPECT_EQ(last->Wait().Status, STATUS_CANCELLED);
}

using CancelDeathTest = CancelTest;

TEST_F(CancelDeathTest, CompletingWithTheCancelRoutineSetOrCancellingACompletedIrp)
{
    auto file = OpenOk(kTestDevice);
    auto read = file->StartRead(kReadLength);
    EXPECT_DEATH(Complete(cancelLog.Pending.front(), STATUS_SUCCESS),
                 "CANCEL_STATE_IN_COMPLETED_IRP.*cancel routine still set");
    PIRP irp = cancelLog.Pending.front();
    CompleteOldest();
    read->Wait();
    EXPECT_DEATH(IoCancelIrp(irp), "CANCEL_STATE_IN_COMPLETED_IRP.*already completed");
}

}  // namespace
}  // namespace hosttest
