// A saved configuration comes back with the daemon: the driver loads it at
// start, so the ports exist as soon as the daemon says it is ready.
#include "daemon_fixture.h"
#include "module_simulator.h"

namespace zeltest {
namespace {

constexpr unsigned kCom = 41;

class RestartTest : public DaemonTest {};

TEST_F(RestartTest, ASavedModuleAndItsPortsComeBackAfterARestart)
{
    ModuleSimulator module({"echo", "echo"});
    AddAndStart(
        LoopbackModule(module.ControlPort(), {module.ChannelPort(1), module.ChannelPort(2)}, kCom),
        /*save=*/true);
    const HANDLE before = OpenPort(kCom);
    ASSERT_NE(before, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(before);

    ASSERT_TRUE(StopDaemon()) << Daemon().Log();
    StartDaemon();

    for (unsigned com : {kCom, kCom + 1}) {
        const HANDLE port = OpenPort(com);
        EXPECT_NE(port, INVALID_HANDLE_VALUE) << "COM" << com << " " << GetLastError();
        CloseHandle(port);
    }
    const HANDLE control = OpenControl();
    EXPECT_EQ(ModuleCount(control), 1u);
    CloseHandle(control);
}

TEST_F(RestartTest, AnUnsavedModuleIsGoneAfterARestart)
{
    ModuleSimulator module({"echo"});
    AddAndStart(LoopbackModule(module.ControlPort(), {module.ChannelPort(1)}, kCom));
    ASSERT_TRUE(StopDaemon()) << Daemon().Log();
    StartDaemon();
    EXPECT_EQ(OpenPort(kCom), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
}  // namespace zeltest
