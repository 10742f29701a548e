// Module and port devices: names, links, extensions after creation, the
// SERIALCOMM device map, and removal by stop-all.
#include "driver_fixture.h"

#include "core/control_device.h"
#include "core/module_extension.h"
#include "port/port_extension.h"

#include <arpa/inet.h>

#include <cstring>

namespace zeltest {
namespace {

using DevicesTest = DriverTest;

// Marks a port open, as an application's open will.
void SetOpen(PortExtension* port, bool open)
{
    ASSERT_NE(port, nullptr);
    port->IsOpen = open ? 1 : 0;
}

TEST_F(DevicesTest, ModuleWithSparseChannels)
{
    ModuleRecord record = MakeRecord(Ip(192, 168, 1, 10), 0x1234, "rack",
                                     {{0x0FA1, 5, 0}, {4002, 0, 0}, {0x1F90, 7, 1}, {4004, 0, 0}});
    // Channels at or beyond SerialCount never get a port.
    record.SerialNum[4] = 6;
    record.SerialNum[7] = 8;
    ASSERT_EQ(Add(record).Status, STATUS_SUCCESS);
    ASSERT_EQ(StartAll().Status, STATUS_SUCCESS);

    EXPECT_EQ(LinkTarget("\\DosDevices\\ZelSerial0"), "\\Device\\VZelSerial0");
    EXPECT_EQ(LinkTarget("\\DosDevices\\COM5"), "\\Device\\VSer5");
    EXPECT_EQ(LinkTarget("\\DosDevices\\COM7"), "\\Device\\VSer7");
    EXPECT_FALSE(HasDevice("\\Device\\VSer0"));
    EXPECT_FALSE(HasDevice("\\Device\\VSer6"));
    EXPECT_EQ(Kernel().DeviceNames().size(), 4u);

    ModuleExtension* module = Module(0);
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(module->PortDevices[0], Device("\\Device\\VSer5"));
    EXPECT_EQ(module->PortDevices[1], nullptr);
    EXPECT_EQ(module->PortDevices[2], Device("\\Device\\VSer7"));
    EXPECT_EQ(module->PortDevices[3], nullptr);
    EXPECT_EQ(module->SerialParaFlag[2], 1u);
    EXPECT_EQ(ControlExt()->ModuleDevices[0], Device("\\Device\\VZelSerial0"));

    // The control connection goes to ModuleIP and ControlPort, in network order.
    EXPECT_EQ(module->ControlConnection.RemoteAddress, record.ModuleIP);
    EXPECT_EQ(module->ControlConnection.RemotePort, htons(0x1234));

    PortExtension* com5 = Port(5);
    PortExtension* com7 = Port(7);
    ASSERT_NE(com5, nullptr);
    ASSERT_NE(com7, nullptr);
    EXPECT_EQ(com5->ChannelIndex, 0u);
    EXPECT_EQ(com7->ChannelIndex, 2u);
    EXPECT_EQ(com7->ModuleDevice, Device("\\Device\\VZelSerial0"));
    EXPECT_EQ(com7->DataConnection.RemoteAddress, record.ModuleIP);
    EXPECT_EQ(com7->DataConnection.RemotePort, htons(0x1F90));
}

TEST_F(DevicesTest, SerialCommValuesNameEachPort)
{
    ASSERT_EQ(Add(MakeRecord(Ip(10, 0, 0, 1), 4000, "m", {{4001, 5, 0}, {4002, 123, 0}})).Status,
              STATUS_SUCCESS);
    ASSERT_EQ(StartAll().Status, STATUS_SUCCESS);

    auto com5 = SerialCommValue("\\Device\\VSer5");
    ASSERT_TRUE(com5);
    EXPECT_EQ(com5->Type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(com5->Data, Utf16Bytes("COM5"));  // 8 bytes, no NUL
    auto com123 = SerialCommValue("\\Device\\VSer123");
    ASSERT_TRUE(com123);
    EXPECT_EQ(com123->Data, Utf16Bytes("COM123"));
    EXPECT_EQ(Kernel().RegistryView().ValueNames(RTL_REGISTRY_DEVICEMAP, "SERIALCOMM").size(), 2u);

    ASSERT_EQ(StopAll().Status, STATUS_SUCCESS);
    EXPECT_FALSE(SerialCommValue("\\Device\\VSer5"));
    EXPECT_FALSE(SerialCommValue("\\Device\\VSer123"));
    EXPECT_FALSE(LinkTarget("\\DosDevices\\COM5"));
    EXPECT_FALSE(LinkTarget("\\DosDevices\\ZelSerial0"));
    EXPECT_EQ(Kernel().DeviceNames().size(), 1u);
    EXPECT_EQ(ControlExt()->ModuleDevices[0], nullptr);

    // A second start makes it all again.
    ASSERT_EQ(StartAll().Status, STATUS_SUCCESS);
    EXPECT_EQ(LinkTarget("\\DosDevices\\COM5"), "\\Device\\VSer5");
    EXPECT_TRUE(SerialCommValue("\\Device\\VSer5"));
    EXPECT_EQ(RunStatus(), 1u);
}

TEST_F(DevicesTest, SameComNumberTwiceGetsOnePort)
{
    // An add refuses such records; a table loaded from a saved
    // configuration is taken as it is.
    ControlExtension* control = ControlExt();
    control->Modules[0] = MakeRecord(Ip(10, 0, 0, 1), 4000, "a", {{4001, 5, 0}, {4002, 5, 0}});
    control->Modules[1] = MakeRecord(Ip(10, 0, 0, 2), 4000, "b", {{4001, 5, 0}, {4002, 6, 0}});
    control->ModuleCount = 2;
    EXPECT_EQ(StartAll().Status, STATUS_SUCCESS);

    ModuleExtension* first = Module(0);
    ModuleExtension* second = Module(1);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(first->PortDevices[0], Device("\\Device\\VSer5"));
    EXPECT_EQ(first->PortDevices[1], nullptr);
    EXPECT_EQ(second->PortDevices[0], nullptr);
    EXPECT_EQ(second->PortDevices[1], Device("\\Device\\VSer6"));
    EXPECT_EQ(Port(5)->ModuleDevice, Device("\\Device\\VZelSerial0"));

    // Stopping removes each port exactly once.
    EXPECT_EQ(StopAll().Status, STATUS_SUCCESS);
    EXPECT_EQ(Kernel().DeviceNames().size(), 1u);
}

TEST_F(DevicesTest, ForeignComLinkLeavesThatChannelWithoutPort)
{
    UNICODE_STRING link;
    UNICODE_STRING target;
    RtlInitUnicodeString(&link, L"\\DosDevices\\COM1");
    RtlInitUnicodeString(&target, L"\\Device\\Serial0");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);

    ASSERT_EQ(Add(MakeRecord(Ip(10, 0, 0, 1), 4000, "a", {{4001, 1, 0}, {4002, 2, 0}})).Status,
              STATUS_SUCCESS);
    EXPECT_EQ(StartAll().Status, STATUS_SUCCESS);
    EXPECT_FALSE(HasDevice("\\Device\\VSer1"));
    EXPECT_FALSE(SerialCommValue("\\Device\\VSer1"));
    EXPECT_TRUE(HasDevice("\\Device\\VSer2"));
    EXPECT_EQ(Module(0)->PortDevices[0], nullptr);
    EXPECT_EQ(LinkTarget("\\DosDevices\\COM1"), "\\Device\\Serial0");

    EXPECT_EQ(StopAll().Status, STATUS_SUCCESS);
    EXPECT_EQ(LinkTarget("\\DosDevices\\COM1"), "\\Device\\Serial0");
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
}

TEST_F(DevicesTest, StopWithOpenPortKeepsThatModule)
{
    ASSERT_EQ(Add(MakeRecord(Ip(10, 0, 0, 1), 4000, "a", {{4001, 5, 0}, {4002, 6, 0}})).Status,
              STATUS_SUCCESS);
    ASSERT_EQ(Add(MakeRecord(Ip(10, 0, 0, 2), 4000, "b", {{4001, 7, 0}})).Status, STATUS_SUCCESS);
    ASSERT_EQ(StartAll().Status, STATUS_SUCCESS);
    SetOpen(Port(6), true);

    // The other module is removed all the same; the request reports the
    // refusal, and the refused module's ports stay usable.
    EXPECT_EQ(StopAll().Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Port(5)->Stopping, 0);
    EXPECT_TRUE(HasDevice("\\Device\\VZelSerial0"));
    EXPECT_TRUE(HasDevice("\\Device\\VSer5"));
    EXPECT_TRUE(HasDevice("\\Device\\VSer6"));
    EXPECT_EQ(LinkTarget("\\DosDevices\\ZelSerial0"), "\\Device\\VZelSerial0");
    EXPECT_EQ(LinkTarget("\\DosDevices\\COM5"), "\\Device\\VSer5");
    EXPECT_TRUE(SerialCommValue("\\Device\\VSer5"));
    EXPECT_TRUE(SerialCommValue("\\Device\\VSer6"));
    EXPECT_NE(Port(5)->RxBuffer, nullptr);
    EXPECT_FALSE(HasDevice("\\Device\\VZelSerial1"));
    EXPECT_FALSE(HasDevice("\\Device\\VSer7"));
    EXPECT_EQ(RunStatus(), 1u);

    // Once closed, the next stop removes it.
    SetOpen(Port(6), false);
    EXPECT_EQ(StopAll().Status, STATUS_SUCCESS);
    EXPECT_EQ(Kernel().DeviceNames().size(), 1u);
    EXPECT_EQ(RunStatus(), 0u);
}

}  // namespace
}  // namespace zeltest
