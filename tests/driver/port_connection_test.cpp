// Port open and close bring a module's connections up and down: the control
// connection for the module's first open port, a data connection per port.
#include "serial_fixture.h"

#include "core/devices.h"
#include "core/module_extension.h"
#include "port/port_extension.h"

#include "support/loopback.h"

#include <atomic>
#include <thread>

namespace zeltest {
namespace {

using PortConnectionTest = NetTest;

// A port can be opened as soon as it exists, while the module's later
// channels are still being created: that open stays counted.
TEST_F(PortConnectionTest, AnOpenWhileLaterChannelsAreCreatedStaysCounted)
{
    ModuleSimulator module({"echo", "echo"});
    ModuleRecord record =
        MakeRecord(Ip(127, 0, 0, 1), module.ControlPort(), "m",
                   {{module.ChannelPort(1), 5, 0}, {module.ChannelPort(2), 6, 0}});
    ASSERT_EQ(Add(record).Status, STATUS_SUCCESS);

    // The start's allocations after COM5 is ready are COM6's: open COM5 at
    // the first of them, from another thread, and let the start go on after.
    std::unique_ptr<host::File> com5;
    NTSTATUS opened = STATUS_PENDING;
    std::atomic<bool> tried{false};
    host::LowResources openOnce;
    openOnce.Rule = [&](const char*) {
        PDEVICE_OBJECT port = Kernel().FindDevice("\\Device\\VSer5");
        if (port != nullptr && (port->Flags & DO_DEVICE_INITIALIZING) == 0 &&
            !tried.exchange(true)) {
            std::thread([&] { opened = Kernel().Open("\\\\.\\COM5", &com5); }).join();
        }
        return false;
    };
    Kernel().ArmLowResources(openOnce);
    ASSERT_EQ(StartAll().Status, STATUS_SUCCESS);
    Kernel().DisarmLowResources();
    ASSERT_TRUE(tried);
    ASSERT_EQ(opened, STATUS_SUCCESS);
    ASSERT_NE(Port(6), nullptr);
    EXPECT_EQ(Module(0)->OpenPortCount, 1u);

    com5->Close();
    EXPECT_EQ(Module(0)->OpenPortCount, 0u);
    EXPECT_TRUE(module.Saw("DISCONNECTED control reason=peer"));
}

// A close that has marked its port not open is still at work in the
// module: stop-all refuses the module until the close is over, and removes
// it after.
TEST_F(PortConnectionTest, StopAllRefusesAModuleWhilePortCloseIsUnderWay)
{
    ModuleSimulator module({"echo"});
    AddLoopbackModule(module.ControlPort(), {module.ChannelPort(1)});
    host::File* com5 = nullptr;
    ASSERT_EQ(OpenPort(5, &com5), STATUS_SUCCESS);
    PortExtension* port = Port(5);

    // The close waits for the module's lock, held here, while another thread
    // takes the port's lock: the close then stops right after it has
    // cleared IsOpen.
    AcquireModuleLock(Module(0));
    std::thread closing([&] { ClosePort(com5); });
    ASSERT_TRUE(Eventually([&] { return Observe(port->OpensAndCloses) == 1; }));
    std::atomic<bool> held{false};
    std::atomic<bool> release{false};
    std::thread holder([&] {
        KIRQL irql;
        KeAcquireSpinLock(&port->PortLock, &irql);
        held = true;
        while (!release) {
        }
        KeReleaseSpinLock(&port->PortLock, irql);
    });
    ASSERT_TRUE(Eventually([&] { return held.load(); }));
    ReleaseModuleLock(Module(0));
    ASSERT_TRUE(Eventually([&] { return Observe(port->IsOpen) == 0; }));
    const std::vector<std::string> devices = Kernel().DeviceNames();
    EXPECT_EQ(StopAll().Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Kernel().DeviceNames(), devices);

    release = true;
    holder.join();
    closing.join();
    EXPECT_EQ(StopAll().Status, STATUS_SUCCESS);
    EXPECT_FALSE(HasDevice("\\Device\\VZelSerial0"));
}

TEST_F(PortConnectionTest, OpensBringConnectionsUpAndPortsOfOneModuleShareTheControl)
{
    ModuleSimulator module({"echo", "echo"});
    AddLoopbackModule(module.ControlPort(), {module.ChannelPort(1), module.ChannelPort(2)});
    ModuleExtension* ext = Module(0);

    host::File* com5 = nullptr;
    ASSERT_EQ(OpenPort(5, &com5), STATUS_SUCCESS);
    ASSERT_TRUE(module.Saw("CONNECTED control"));
    EXPECT_TRUE(module.Saw("CONNECTED channel=1"));
    EXPECT_EQ(ext->OpenPortCount, 1u);
    EXPECT_EQ(ext->ChannelOpen[0], 1u);
    EXPECT_EQ(Port(5)->IsOpen, 1u);
    EXPECT_TRUE(ext->ControlConnection.Opened && ext->ControlConnection.Connected);
    EXPECT_TRUE(Port(5)->DataConnection.Opened && Port(5)->DataConnection.Connected);
    PFILE_OBJECT controlEndpoint = ext->ControlConnection.Endpoint.FileObject;

    host::File* com6 = nullptr;
    ASSERT_EQ(OpenPort(6, &com6), STATUS_SUCCESS);
    EXPECT_TRUE(module.Saw("CONNECTED channel=2"));
    EXPECT_EQ(ext->OpenPortCount, 2u);
    EXPECT_EQ(ext->ControlConnection.Endpoint.FileObject, controlEndpoint);

    // Closing one of the two leaves the control connection as it was.
    ClosePort(com5);
    EXPECT_TRUE(module.Saw("DISCONNECTED channel=1 reason=peer"));
    EXPECT_EQ(ext->OpenPortCount, 1u);
    EXPECT_EQ(ext->ChannelOpen[0], 0u);
    EXPECT_EQ(Port(5)->IsOpen, 0u);
    EXPECT_FALSE(Port(5)->DataConnection.Opened);
    EXPECT_TRUE(ext->ControlConnection.Opened && ext->ControlConnection.Connected);
    EXPECT_EQ(ext->ControlConnection.Endpoint.FileObject, controlEndpoint);

    ClosePort(com6);
    EXPECT_TRUE(module.Saw("DISCONNECTED control reason=peer"));
    EXPECT_EQ(ext->OpenPortCount, 0u);
    EXPECT_FALSE(ext->ControlConnection.Opened);
    EXPECT_EQ(module.CountPrinted("CONNECTED control"), 1);
}

TEST_F(PortConnectionTest, UnreachableChannelFailsTheOpenUntilItListens)
{
    ModuleSimulator module({});
    ClosedPort channel;
    AddLoopbackModule(module.ControlPort(), {channel.Port()});
    ModuleExtension* ext = Module(0);

    host::File* com5 = nullptr;
    EXPECT_EQ(OpenPort(5, &com5), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(com5, nullptr);
    // The control connection opened for the attempt is closed again.
    EXPECT_TRUE(module.Saw("CONNECTED control"));
    EXPECT_TRUE(module.Saw("DISCONNECTED control reason=peer"));
    EXPECT_EQ(ext->OpenPortCount, 0u);
    EXPECT_EQ(ext->ChannelOpen[0], 0u);
    EXPECT_EQ(Port(5)->IsOpen, 0u);
    EXPECT_FALSE(ext->ControlConnection.Opened);
    EXPECT_FALSE(Port(5)->DataConnection.Opened);

    channel.Listen();
    ASSERT_EQ(OpenPort(5, &com5), STATUS_SUCCESS);
    zel::UniqueFd far = channel.Accept();
    ASSERT_TRUE(far.Valid());
    EXPECT_EQ(ext->OpenPortCount, 1u);
    ASSERT_TRUE(zel::test::SendAll(far.Get(), "late"));
    ASSERT_TRUE(WaitHeld(5, 4));

    // This far end never closes its side: the close gives up waiting for it,
    // cancels the posted receive and still releases everything.
    ClosePort(com5);
    EXPECT_EQ(zel::test::ReceiveToEnd(far.Get()).End, zel::test::StreamEnd::Eof);
    EXPECT_EQ(ext->OpenPortCount, 0u);
    EXPECT_FALSE(Port(5)->DataConnection.Opened);
    EXPECT_TRUE(module.Saw("DISCONNECTED control reason=peer"));
}

TEST_F(PortConnectionTest, UnreachableControlPortFailsTheOpenUntilItListens)
{
    ModuleSimulator module({"echo"});
    ClosedPort control;
    AddLoopbackModule(control.Port(), {module.ChannelPort(1)});
    ModuleExtension* ext = Module(0);

    host::File* com5 = nullptr;
    EXPECT_EQ(OpenPort(5, &com5), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ext->OpenPortCount, 0u);
    EXPECT_EQ(Port(5)->IsOpen, 0u);
    EXPECT_FALSE(ext->ControlConnection.Opened);
    EXPECT_FALSE(Port(5)->DataConnection.Opened);

    control.Listen();
    ASSERT_EQ(OpenPort(5, &com5), STATUS_SUCCESS);
    zel::UniqueFd far = control.Accept();
    EXPECT_TRUE(far.Valid());
    EXPECT_TRUE(module.Saw("CONNECTED channel=1"));
    EXPECT_EQ(ext->OpenPortCount, 1u);
    far.Reset();  // the module goes away; the port stays open
    ClosePort(com5);
    EXPECT_TRUE(module.Saw("DISCONNECTED channel=1 reason=peer"));
    EXPECT_FALSE(ext->ControlConnection.Opened);
}

TEST_F(PortConnectionTest, BytesNotReadBeforeCloseAreGoneAfterReopen)
{
    ModuleSimulator module({"echo"});
    AddLoopbackModule(module.ControlPort(), {module.ChannelPort(1)});

    host::File* com5 = nullptr;
    ASSERT_EQ(OpenPort(5, &com5), STATUS_SUCCESS);
    ASSERT_TRUE(module.Saw("CONNECTED channel=1"));
    ASSERT_EQ(module.Command("send 1 xyz").rfind("ok", 0), 0u);
    ASSERT_TRUE(WaitHeld(5, 3));
    // A flush leaves the receive buffer alone; a close empties it.
    EXPECT_EQ(com5->StartFlush()->Wait().Status, STATUS_SUCCESS);
    EXPECT_EQ(Port(5)->RxCount, 3u);
    ClosePort(com5);
    EXPECT_EQ(Port(5)->RxCount, 0u);
    EXPECT_EQ(Port(5)->CommStatus.AmountInInQueue, 0u);

    ASSERT_EQ(OpenPort(5, &com5), STATUS_SUCCESS);
    EXPECT_EQ(Port(5)->RxCount, 0u);
    EXPECT_EQ(OutcomeOf(com5->Read(3)), Outcome(STATUS_SUCCESS, 0u));
}

NTSTATUS NTAPI KeepRequest(PDEVICE_OBJECT, PIRP, PVOID)
{
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// A create that reaches an open port (as from a driver above it) succeeds,
// resets RxCount and leaves the connections alone.
TEST_F(PortConnectionTest, CreateOnAnOpenPortOnlyResetsTheCount)
{
    ModuleSimulator module({"echo"});
    AddLoopbackModule(module.ControlPort(), {module.ChannelPort(1)});
    host::File* com5 = nullptr;
    ASSERT_EQ(OpenPort(5, &com5), STATUS_SUCCESS);
    ASSERT_EQ(module.Command("send 1 held").rfind("ok", 0), 0u);
    ASSERT_TRUE(WaitHeld(5, 4));
    PFILE_OBJECT endpoint = Port(5)->DataConnection.Endpoint.FileObject;

    PDEVICE_OBJECT device = Device("\\Device\\VSer5");
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_CREATE;
    IoSetCompletionRoutine(irp, KeepRequest, nullptr, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_SUCCESS);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
    IoFreeIrp(irp);

    EXPECT_EQ(Port(5)->RxCount, 0u);
    EXPECT_EQ(Port(5)->IsOpen, 1u);
    EXPECT_EQ(Module(0)->OpenPortCount, 1u);
    EXPECT_EQ(Port(5)->DataConnection.Endpoint.FileObject, endpoint);
    EXPECT_EQ(module.CountPrinted("CONNECTED channel=1"), 1);
}

}  // namespace
}  // namespace zeltest
