// The verifier's rules around dispatch routines and unload.
#include "host_test_driver.h"

namespace hosttest {
namespace {

constexpr ULONG kReadLength = 4;

class VerifierDeathTest : public HostKernelTest {
protected:
    // Loads the driver with `read` as its read routine and reads once.
    void ReadWith(DispatchRoutine read)
    {
        driver_.Dispatch[IRP_MJ_READ] = std::move(read);
        LoadDriver();
        OpenOk(kTestDevice)->Read(kReadLength);
    }
};

TEST_F(VerifierDeathTest, DispatchRoutinesThatBreakTheIrpOrIrqlRules)
{
    EXPECT_DEATH(ReadWith([](PDEVICE_OBJECT, PIRP irp) {
                     Complete(irp, STATUS_SUCCESS);
                     return Complete(irp, STATUS_SUCCESS);
                 }),
                 "MULTIPLE_IRP_COMPLETE_REQUESTS");
    EXPECT_DEATH(ReadWith([](PDEVICE_OBJECT, PIRP) { return STATUS_PENDING; }),
                 "DRIVER_VERIFIER_IOMANAGER_VIOLATION: dispatch routine for IRP_MJ_READ returned "
                 "STATUS_PENDING without IoMarkIrpPending");
    EXPECT_DEATH(ReadWith([](PDEVICE_OBJECT, PIRP irp) {
                     IoMarkIrpPending(irp);
                     Complete(irp, STATUS_SUCCESS);
                     return STATUS_SUCCESS;
                 }),
                 "DRIVER_VERIFIER_IOMANAGER_VIOLATION.*marked pending");
    EXPECT_DEATH(ReadWith([](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; }),
                 "IRP not completed: dispatch routine for IRP_MJ_READ");
    EXPECT_DEATH(ReadWith([](PDEVICE_OBJECT, PIRP irp) {
                     IoMarkIrpPending(irp);
                     Complete(irp, STATUS_PENDING);
                     return STATUS_PENDING;
                 }),
                 "DRIVER_VERIFIER_IOMANAGER_VIOLATION: IRP completed with status STATUS_PENDING");
    EXPECT_DEATH(ReadWith([](PDEVICE_OBJECT, PIRP irp) {
                     return Complete(irp, STATUS_SUCCESS, kReadLength + 1);
                 }),
                 "DRIVER_VERIFIER_IOMANAGER_VIOLATION: IRP_MJ_READ completed with Information 5 "
                 "for a buffer of 4 bytes");
    EXPECT_DEATH(ReadWith([](PDEVICE_OBJECT device, PIRP irp) {
                     KIRQL irql;
                     KeAcquireSpinLock(&TestDriver::Extension(device)->Lock, &irql);
                     return Complete(irp, STATUS_SUCCESS);
                 }),
                 "DRIVER_VERIFIER_DETECTED_VIOLATION: dispatch routine for IRP_MJ_READ returned "
                 "holding 1 spin lock");
    EXPECT_DEATH(ReadWith([](PDEVICE_OBJECT, PIRP irp) {
                     RaiseIrql(APC_LEVEL);
                     return Complete(irp, STATUS_SUCCESS);
                 }),
                 "IRQL_UNEXPECTED_VALUE: dispatch routine for IRP_MJ_READ was called at IRQL 0 and "
                 "returned at IRQL 1");
    driver_.Dispatch[IRP_MJ_CLOSE] = [](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; };
    EXPECT_DEATH((LoadDriver(), OpenOk(kTestDevice)->Close()),
                 "IRP not completed: dispatch routine for IRP_MJ_CLOSE");
}

// Devices left at unload or after a failed entry, a handle left open, a
// request left pending.
TEST_F(VerifierDeathTest, UnloadWithSomethingLeft)
{
    driver_.Entry = [this](PDRIVER_OBJECT driver) {
        driver_.CreateDevice(driver, "\\Device\\Forgotten", "", false);
        driver->DriverUnload = [](PDRIVER_OBJECT) {};
        return STATUS_SUCCESS;
    };
    EXPECT_DEATH((LoadDriver(), Kernel().UnloadDriver()),
                 "DRIVER_VERIFIER_DETECTED_VIOLATION: driver unloaded without deleting its device "
                 "objects: \\\\Device\\\\Forgotten");
    driver_.Entry = [this](PDRIVER_OBJECT driver) {
        driver_.CreateDevice(driver, "\\Device\\Orphan", "", false);
        return STATUS_UNSUCCESSFUL;
    };
    EXPECT_DEATH(
        Kernel().LoadDriver("HostTest", TestDriver::DriverEntry),
        "driver failed its DriverEntry without deleting its device objects: \\\\Device\\\\Orphan");
    driver_.Entry = nullptr;
    driver_.Dispatch[IRP_MJ_READ] = [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        return STATUS_PENDING;
    };
    LoadDriver();
    auto file = OpenOk(kTestDevice);
    EXPECT_DEATH(Kernel().UnloadDriver(),
                 "DRIVER_VERIFIER_DETECTED_VIOLATION: driver unloaded while 1 handle");
    EXPECT_DEATH((file->StartRead(kReadLength), file->Close(), Kernel().UnloadDriver()),
                 "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS");
}

TEST_F(VerifierDeathTest, NoKernelRunning)
{
    TearDown();
    KEVENT event;
    EXPECT_DEATH(KeInitializeEvent(&event, NotificationEvent, FALSE), "HOST_KERNEL_NOT_RUNNING");
}

}  // namespace
}  // namespace hosttest
