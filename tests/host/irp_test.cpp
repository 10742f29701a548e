// IRPs a driver allocates and sends down: stack locations, completion
// routines called upward in stack order with their level's device object,
// STATUS_MORE_PROCESSING_REQUIRED handing the IRP back, SL_INVOKE_* flags
// and the propagation of PendingReturned.
#include "host_test_driver.h"

#include <vector>

namespace hosttest {
namespace {

struct CompletionCall {
    char Name;
    PDEVICE_OBJECT Device;
    BOOLEAN PendingReturned;
    NTSTATUS Status;
};

// A completion routine's context: its name, what it returns, and where it
// records its calls.
struct Routine {
    char Name;
    NTSTATUS Returns;
    std::vector<CompletionCall>* Calls;
};

NTSTATUS NTAPI Record(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    auto* routine = static_cast<Routine*>(context);
    routine->Calls->push_back(
        CompletionCall{routine->Name, device, irp->PendingReturned, irp->IoStatus.Status});
    return routine->Returns;
}

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

    // An IRP of two locations: the upper one is the caller's own (with
    // routine `top`), the lower one goes to the lower device (routine
    // `bottom`, when given).
    PIRP BuildIrp(Routine* top, Routine* bottom, UCHAR bottomControl)
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

    bool lowerPends_ = false;
    NTSTATUS lowerStatus_ = STATUS_SUCCESS;
    PIRP lowerIrp_ = nullptr;
    std::vector<CompletionCall> calls_;
};

constexpr UCHAR kInvokeAlways = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL;

TEST_F(IrpTest, CompletionRoutinesRunUpwardWithTheirLevelsDevice)
{
    Routine top{'T', STATUS_MORE_PROCESSING_REQUIRED, &calls_};
    Routine bottom{'B', STATUS_SUCCESS, &calls_};
    PIRP irp = BuildIrp(&top, &bottom, kInvokeAlways);
    EXPECT_EQ(IoCallDriver(Lower(), irp), STATUS_SUCCESS);
    ASSERT_EQ(calls_.size(), 2u);
    EXPECT_EQ(calls_[0].Name, 'B');
    EXPECT_EQ(calls_[0].Device, Upper());  // the device of the level that set it
    EXPECT_EQ(calls_[1].Name, 'T');
    EXPECT_EQ(calls_[1].Device, nullptr);  // nothing above the top
    EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);
    IoFreeIrp(irp);
}

TEST_F(IrpTest, MoreProcessingRequiredStopsTheWalkUntilCompletedAgain)
{
    Routine top{'T', STATUS_MORE_PROCESSING_REQUIRED, &calls_};
    Routine bottom{'B', STATUS_MORE_PROCESSING_REQUIRED, &calls_};
    PIRP irp = BuildIrp(&top, &bottom, kInvokeAlways);
    EXPECT_EQ(IoCallDriver(Lower(), irp), STATUS_SUCCESS);
    ASSERT_EQ(calls_.size(), 1u);
    EXPECT_EQ(calls_[0].Name, 'B');
    // The IRP is back with the upper level, which completes it in turn.
    EXPECT_EQ(irp->CurrentLocation, 2);
    irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    ASSERT_EQ(calls_.size(), 2u);
    EXPECT_EQ(calls_[1].Name, 'T');
    EXPECT_EQ(calls_[1].Status, STATUS_UNSUCCESSFUL);
    IoFreeIrp(irp);
}

TEST_F(IrpTest, InvokeFlagsSelectTheRoutine)
{
    Routine top{'T', STATUS_MORE_PROCESSING_REQUIRED, &calls_};
    Routine bottom{'B', STATUS_SUCCESS, &calls_};
    lowerStatus_ = STATUS_INVALID_PARAMETER;
    PIRP irp = BuildIrp(&top, &bottom, SL_INVOKE_ON_SUCCESS);
    EXPECT_EQ(IoCallDriver(Lower(), irp), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(calls_.size(), 1u);
    EXPECT_EQ(calls_[0].Name, 'T');
    IoFreeIrp(irp);

    calls_.clear();
    irp = BuildIrp(&top, &bottom, SL_INVOKE_ON_ERROR);
    EXPECT_EQ(IoCallDriver(Lower(), irp), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(calls_.size(), 2u);
    EXPECT_EQ(calls_[0].Name, 'B');
    IoFreeIrp(irp);
}

TEST_F(IrpTest, InvokeOnCancelFollowsIrpCancel)
{
    Routine top{'T', STATUS_MORE_PROCESSING_REQUIRED, &calls_};
    Routine bottom{'B', STATUS_SUCCESS, &calls_};
    lowerPends_ = true;
    PIRP irp = BuildIrp(&top, &bottom, SL_INVOKE_ON_CANCEL);
    EXPECT_EQ(IoCallDriver(Lower(), irp), STATUS_PENDING);
    // No cancel routine: IoCancelIrp only marks the IRP.
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_TRUE(irp->Cancel);
    Complete(lowerIrp_, STATUS_SUCCESS);
    ASSERT_EQ(calls_.size(), 2u);
    EXPECT_EQ(calls_[0].Name, 'B');
    IoFreeIrp(irp);
}

TEST_F(IrpTest, PendingReturnedPropagatesThroughLevelsWithoutRoutine)
{
    Routine top{'T', STATUS_MORE_PROCESSING_REQUIRED, &calls_};
    lowerPends_ = true;
    PIRP irp = BuildIrp(&top, nullptr, 0);
    EXPECT_EQ(IoCallDriver(Lower(), irp), STATUS_PENDING);
    EXPECT_TRUE(calls_.empty());
    Complete(lowerIrp_, STATUS_SUCCESS);
    ASSERT_EQ(calls_.size(), 1u);
    EXPECT_TRUE(calls_[0].PendingReturned);
    IoFreeIrp(irp);
}

TEST_F(IrpTest, CompletionRoutineMayFreeItsIrp)
{
    std::vector<CompletionCall> calls;
    lowerPends_ = true;
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT device, PIRP completed, PVOID context) -> NTSTATUS {
            static_cast<std::vector<CompletionCall>*>(context)->push_back(CompletionCall{
                'F', device, completed->PendingReturned, completed->IoStatus.Status});
            IoFreeIrp(completed);
            return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &calls, TRUE, TRUE, TRUE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    EXPECT_EQ(IoCallDriver(Lower(), irp), STATUS_PENDING);
    Complete(lowerIrp_, STATUS_CANCELLED);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].Status, STATUS_CANCELLED);
    EXPECT_TRUE(calls[0].PendingReturned);
}

using IrpDeathTest = IrpTest;

TEST_F(IrpDeathTest, AllocatedIrpMustNotCompletePastItsTop)
{
    EXPECT_DEATH(
        {
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            IoCallDriver(Lower(), irp);
        },
        "DRIVER_VERIFIER_IOMANAGER_VIOLATION.*STATUS_MORE_PROCESSING_REQUIRED");
}

TEST_F(IrpDeathTest, CallingDownWithNoLocationLeft)
{
    EXPECT_DEATH(
        {
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoSetNextIrpStackLocation(irp);
            IoCallDriver(Lower(), irp);
        },
        "NO_MORE_IRP_STACK_LOCATIONS");
}

TEST_F(IrpDeathTest, IrpLeakedAtUnload)
{
    EXPECT_DEATH(
        {
            IoAllocateIrp(1, FALSE);
            Kernel().UnloadDriver();
        },
        "DRIVER_VERIFIER_DETECTED_VIOLATION.*without freeing the IRPs it allocated");
}

TEST_F(IrpDeathTest, FreeingAnIrpTwice)
{
    EXPECT_DEATH(
        {
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoFreeIrp(irp);
            IoFreeIrp(irp);
        },
        "BAD_POOL_CALLER.*IoFreeIrp");
}

}  // namespace
}  // namespace hosttest
