// Driver entry, the routers and their empty entries, exclusive opens and
// unload.
#include "driver_fixture.h"
#include "support/module_simulator.h"

#include "core/control_device.h"

namespace zeltest {
namespace {

using zel::test::ModuleSimulator;

// What a driver-built request came back with.
struct DirectResult {
    NTSTATUS Returned;
    NTSTATUS IoStatus;
    bool Completed;
};

NTSTATUS NTAPI NoteCompletion(PDEVICE_OBJECT, PIRP, PVOID context)
{
    *static_cast<bool*>(context) = true;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends a request of the given major function straight to the device, as a
// higher driver would, and keeps the IRP for inspection.
DirectResult SendDirect(PDEVICE_OBJECT device, UCHAR majorFunction)
{
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    EXPECT_NE(irp, nullptr);
    if (irp == nullptr) {
        return {STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES, false};
    }
    constexpr NTSTATUS UNTOUCHED = static_cast<NTSTATUS>(0x12345678);
    irp->IoStatus.Status = UNTOUCHED;
    irp->IoStatus.Information = 0x55;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = majorFunction;
    bool completed = false;
    IoSetCompletionRoutine(irp, NoteCompletion, &completed, TRUE, TRUE, TRUE);
    NTSTATUS returned = IoCallDriver(device, irp);
    DirectResult result{returned, irp->IoStatus.Status, completed};
    IoFreeIrp(irp);
    return result;
}

using DispatchTest = DriverTest;

TEST_F(DispatchTest, UnroutedRequestsFailOnEveryKindOfDevice)
{
    ModuleRecord record = MakeRecord(Ip(10, 0, 0, 1), 4000, "m", {{4001, 5, 0}});
    ASSERT_EQ(Add(record).Status, STATUS_SUCCESS);
    ASSERT_EQ(StartAll().Status, STATUS_SUCCESS);

    for (const char* name :
         {"\\Device\\ZelMinVirtCOM", "\\Device\\VZelSerial0", "\\Device\\VSer5"}) {
        PDEVICE_OBJECT device = Device(name);
        ASSERT_NE(device, nullptr) << name;
        for (UCHAR major :
             {UCHAR(IRP_MJ_QUERY_INFORMATION), UCHAR(IRP_MJ_SET_INFORMATION),
              UCHAR(IRP_MJ_INTERNAL_DEVICE_CONTROL), UCHAR(IRP_MJ_SHUTDOWN), UCHAR(IRP_MJ_PNP)}) {
            DirectResult result = SendDirect(device, major);
            EXPECT_EQ(result.Returned, STATUS_INVALID_DEVICE_REQUEST)
                << name << " major " << int(major);
            EXPECT_EQ(result.IoStatus, STATUS_INVALID_DEVICE_REQUEST);
            EXPECT_TRUE(result.Completed);
        }
    }
}

TEST_F(DispatchTest, ModuleDeviceOpensSharedAndCompletesEverything)
{
    ModuleSimulator module({});
    ModuleRecord record = MakeRecord(Ip(127, 0, 0, 1), module.ControlPort(), "m", {});
    ASSERT_EQ(Add(record).Status, STATUS_SUCCESS);
    ASSERT_EQ(StartAll().Status, STATUS_SUCCESS);

    std::unique_ptr<host::File> first;
    std::unique_ptr<host::File> second;
    ASSERT_EQ(Kernel().Open("\\\\.\\ZelSerial0", &first), STATUS_SUCCESS);
    ASSERT_EQ(Kernel().Open("\\\\.\\ZelSerial0", &second), STATUS_SUCCESS);

    EXPECT_EQ(OutcomeOf(first->Read(8)), Outcome(STATUS_SUCCESS, 0u));
    const char bytes[4] = {1, 2, 3, 4};
    EXPECT_EQ(OutcomeOf(first->Write(bytes, sizeof(bytes))), Outcome(STATUS_SUCCESS, 0u));
    EXPECT_EQ(OutcomeOf(second->StartFlush()->Wait()), Outcome(STATUS_SUCCESS, 0u));
    for (ULONG code : {ULONG(0x001B0004), ULONG(IOCTL_VCOM_GET_DEV_MOD_COUNT), ULONG(0)}) {
        host::IoResult control = second->DeviceControl(code, bytes, sizeof(bytes), 16);
        EXPECT_EQ(OutcomeOf(control), Outcome(STATUS_SUCCESS, 0u)) << code;
        EXPECT_TRUE(control.Data.empty());
    }
    first->Close();
    second->Close();
}

// Loading with \DosDevices\ZelMain taken: the load fails with the link's
// status, says so on the debug output, and leaves no device.
TEST_F(DispatchTest, AnExistingMainLinkFailsTheLoad)
{
    StopKernel();
    StartKernel();
    UNICODE_STRING link;
    UNICODE_STRING target;
    RtlInitUnicodeString(&link, L"\\DosDevices\\ZelMain");
    RtlInitUnicodeString(&target, L"\\Device\\SomeoneElse");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);

    EXPECT_EQ(LoadDriver(), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_FALSE(Kernel().DriverLoaded());
    EXPECT_TRUE(DebugOutputHas("MAIN Create Error\n"));
    EXPECT_FALSE(HasDevice("\\Device\\ZelMinVirtCOM"));
    EXPECT_EQ(LinkTarget("\\DosDevices\\ZelMain"), "\\Device\\SomeoneElse");
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
}

}  // namespace
}  // namespace zeltest
