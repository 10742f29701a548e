// An application that opens a module device (\\.\ZelSerial<i>) itself: its
// create and close reach the module's handlers, which the router completes
// once with their status.
#include "net_fixture.h"

#include "core/module_extension.h"

namespace zeltest {
namespace {

using ModuleDeviceTest = NetTest;

TEST_F(ModuleDeviceTest, OpeningTheModuleBringsItsControlConnectionUp)
{
    ModuleSimulator module({"echo"});
    AddLoopbackModule(module.ControlPort(), {module.ChannelPort(1)});
    ModuleExtension* ext = Module(0);

    std::unique_ptr<host::File> file;
    ASSERT_EQ(Kernel().Open("\\\\.\\ZelSerial0", &file), STATUS_SUCCESS);
    EXPECT_TRUE(module.Saw("CONNECTED control"));
    EXPECT_TRUE(ext->ControlConnection.Connected);
    EXPECT_EQ(ext->OpenPortCount, 0u);

    // A port of the module opened meanwhile shares the connection.
    host::File* com5 = nullptr;
    ASSERT_EQ(OpenPort(5, &com5), STATUS_SUCCESS);
    EXPECT_TRUE(module.Saw("CONNECTED channel=1"));
    EXPECT_NE(ext->ControlConnection.Receive.Posted, nullptr);  // still the one receive
    ClosePort(com5);
    EXPECT_TRUE(module.Saw("DISCONNECTED control reason=peer"));

    file->Close();
    EXPECT_FALSE(ext->ControlConnection.Opened);
}

// An open the module refuses leaves nothing open behind it; a close takes
// the connection down.
TEST_F(ModuleDeviceTest, ARefusedOpenOrAClosingTakesTheControlConnectionDown)
{
    zel::test::ClosedPort refusing;
    AddLoopbackModule(refusing.Port(), {});
    std::unique_ptr<host::File> file;
    EXPECT_FALSE(NT_SUCCESS(Kernel().Open("\\\\.\\ZelSerial0", &file)));
    EXPECT_FALSE(Module(0)->ControlConnection.Opened);
    ASSERT_EQ(StopAll().Status, STATUS_SUCCESS);
    ASSERT_EQ(Ioctl(IOCTL_VCOM_CLEAR_DEV_INFO).Status, STATUS_SUCCESS);

    ModuleSimulator module({});
    AddLoopbackModule(module.ControlPort(), {});
    ASSERT_EQ(Kernel().Open("\\\\.\\ZelSerial0", &file), STATUS_SUCCESS);
    ASSERT_TRUE(module.Saw("CONNECTED control"));
    file->Close();
    EXPECT_TRUE(module.Saw("DISCONNECTED control reason=peer"));
    EXPECT_FALSE(Module(0)->ControlConnection.Opened);
}

}  // namespace
}  // namespace zeltest
