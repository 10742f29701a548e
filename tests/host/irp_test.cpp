// IRPs a driver allocates and sends down, their completion routines, and
// pending requests cancelled through their cancel routines.
#include "host_test_driver.h"

namespace hosttest {
namespace {

struct CompletionCall {
    char Name;
    PDEVICE_OBJECT Device;
    BOOLEAN PendingReturned;
    NTSTATUS Status;
};

// A completion routine's context.
struct Routine {
    char Name;
    NTSTATUS Returns;
    std::vector<CompletionCall>* Calls;
    bool FreesTheIrp = false;
};

NTSTATUS NTAPI Record(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    auto* routine = static_cast<Routine*>(context);
    routine->Calls->push_back(
        CompletionCall{routine->Name, device, irp->PendingReturned, irp->IoStatus.Status});
    if (routine->FreesTheIrp) {
        IoFreeIrp(irp);
    }
    return routine->Returns;
}

constexpr UCHAR kInvokeAlways = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL;

class IrpTest : public HostKernelTest {
protected:
    void SetUp() override
    {
        HostKernelTest::SetUp();
        driver_.Entry = [this](PDRIVER_OBJECT driver) {
            driver_.CreateDevice(driver, "\\Device\\Upper", "", false);
            driver_.CreateDevice(driver, "\\Device\\Lower", "", false);
            return STATUS_SUCCESS;
        };
        driver_.Dispatch[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [this](PDEVICE_OBJECT device, PIRP irp) {
            EXPECT_EQ(device, Lower());
            EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, device);
            if (lowerPends_) {
                IoMarkIrpPending(irp);
                lowerIrp_ = irp;
                return STATUS_PENDING;
            }
            return Complete(irp, lowerStatus_);
        };
        LoadDriver();
    }

    PDEVICE_OBJECT Upper() { return driver_.Device(0); }
    PDEVICE_OBJECT Lower() { return driver_.Device(1); }

    // An IRP of two locations: the caller's own (routine `top`) and the
    // lower device's (routine `bottom`, when given).
    PIRP BuildIrp(Routine* top, Routine* bottom, UCHAR bottomControl = kInvokeAlways)
    {
        PIRP irp = IoAllocateIrp(2, FALSE);
        IoSetCompletionRoutine(irp, Record, top, TRUE, TRUE, TRUE);
        IoSetNextIrpStackLocation(irp);
        IoGetCurrentIrpStackLocation(irp)->DeviceObject = Upper();
        if (bottom != nullptr) {
            IoSetCompletionRoutine(irp, Record, bottom, TRUE, TRUE, TRUE);
            IoGetNextIrpStackLocation(irp)->Control = bottomControl;
        }
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        return irp;
    }

    // The names of the routines called, in order.
    std::string Called()
    {
        std::string names;
        for (const CompletionCall& call : calls_) {
            names += call.Name;
        }
        calls_.clear();
        return names;
    }

    bool lowerPends_ = false;
    NTSTATUS lowerStatus_ = STATUS_SUCCESS;
    PIRP lowerIrp_ = nullptr;
    std::vector<CompletionCall> calls_;
    Routine top_{'T', STATUS_MORE_PROCESSING_REQUIRED, &calls_};
};

TEST_F(IrpTest, CompletionRoutinesRunUpwardUntilOneWantsMoreProcessing)
{
    Routine bottom{'B', STATUS_MORE_PROCESSING_REQUIRED, &calls_};
    PIRP irp = BuildIrp(&top_, &bottom);
    EXPECT_EQ(IoCallDriver(Lower(), irp), STATUS_SUCCESS);
    EXPECT_EQ(calls_.at(0).Device, Upper());  // the device of the level that set it
    EXPECT_EQ(Called(), "B");
    // The IRP is back with the upper level, which completes it in turn.
    EXPECT_EQ(irp->CurrentLocation, 2);
    irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(calls_.at(0).Device, nullptr);  // nothing above the top
    EXPECT_EQ(calls_.at(0).Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Called(), "T");
    EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);
    IoFreeIrp(irp);
}

TEST_F(IrpTest, InvokeFlagsSelectTheRoutine)
{
    Routine bottom{'B', STATUS_SUCCESS, &calls_};
    lowerStatus_ = STATUS_INVALID_PARAMETER;
    for (const auto& [control, called] :
         {std::pair<UCHAR, const char*>{SL_INVOKE_ON_SUCCESS, "T"}, {SL_INVOKE_ON_ERROR, "BT"}}) {
        PIRP irp = BuildIrp(&top_, &bottom, control);
        EXPECT_EQ(IoCallDriver(Lower(), irp), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(Called(), called);
        IoFreeIrp(irp);
    }
    // A pending IRP without a cancel routine: IoCancelIrp only marks it.
    lowerPends_ = true;
    PIRP irp = BuildIrp(&top_, &bottom, SL_INVOKE_ON_CANCEL);
    EXPECT_EQ(IoCallDriver(Lower(), irp), STATUS_PENDING);
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_TRUE(irp->Cancel);
    Complete(lowerIrp_, STATUS_SUCCESS);
    EXPECT_EQ(Called(), "BT");
    IoFreeIrp(irp);
}

TEST_F(IrpTest, PendingReturnedPropagatesAndARoutineMayFreeItsIrp)
{
    lowerPends_ = true;
    top_.FreesTheIrp = true;
    EXPECT_EQ(IoCallDriver(Lower(), BuildIrp(&top_, nullptr)), STATUS_PENDING);
    EXPECT_TRUE(calls_.empty());
    Complete(lowerIrp_, STATUS_CANCELLED);
    EXPECT_TRUE(calls_.at(0).PendingReturned);  // through the level without a routine
}

using IrpDeathTest = IrpTest;

TEST_F(IrpDeathTest, StackLocationsAndIrpsLeakedAtUnloadOrFreedTwice)
{
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    EXPECT_DEATH(IoCallDriver(Lower(), irp),
                 "DRIVER_VERIFIER_IOMANAGER_VIOLATION.*STATUS_MORE_PROCESSING_REQUIRED");
    EXPECT_DEATH(
        {
            IoSetNextIrpStackLocation(irp);
            IoCallDriver(Lower(), irp);
        },
        "NO_MORE_IRP_STACK_LOCATIONS");
    EXPECT_DEATH(Kernel().UnloadDriver(),
                 "DRIVER_VERIFIER_DETECTED_VIOLATION.*without freeing the IRPs it allocated");
    IoFreeIrp(irp);
    EXPECT_DEATH(IoFreeIrp(irp), "BAD_POOL_CALLER.*IoFreeIrp");
}

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
