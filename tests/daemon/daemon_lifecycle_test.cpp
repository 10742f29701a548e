// zelvcomd's start and stop: the ready line, the lock on the state
// directory, a clean stop with clients connected, and daemonising.
#include "daemon_fixture.h"
#include "raw_client.h"

#include "support/process.h"

#include <zelvcom_ipc/runtime_paths.h>

#include <poll.h>
#include <sys/syscall.h>

#include <fstream>

namespace zeltest {
namespace {

class DaemonLifecycleTest : public DaemonTest {};

TEST_F(DaemonLifecycleTest, LoadsTheDriverAndUnloadsItOnSigterm)
{
    EXPECT_TRUE(Daemon().SawLog("driver ZelVCOM loaded"));
    EXPECT_TRUE(std::filesystem::exists(SocketPath()));
    ASSERT_TRUE(StopDaemon()) << Daemon().Log();
    EXPECT_NE(Daemon().Log().find("driver ZelVCOM unloaded"), std::string::npos) << Daemon().Log();
    EXPECT_FALSE(std::filesystem::exists(SocketPath()));
    // Exactly one ready line.
    EXPECT_EQ(Daemon().Output(), "zelvcomd ready socket=" + SocketPath() + "\n");
}

TEST_F(DaemonLifecycleTest, ASecondDaemonOnTheSameStateDirectoryIsRefused)
{
    DaemonProcess second(Dir().Path(), Dir().File("other.sock"));
    EXPECT_TRUE(zel::test::ChildProcess::ExitedWith(second.WaitForExit(), EXIT_FAILURE));
    EXPECT_NE(second.Log().find("another zelvcomd already uses the state directory"),
              std::string::npos)
        << second.Log();
    // The first one carries on.
    const HANDLE control = OpenControl();
    EXPECT_NE(control, INVALID_HANDLE_VALUE);
    CloseHandle(control);
}

TEST_F(DaemonLifecycleTest, StopsCleanlyWithClientsConnectedAndHandlesOpen)
{
    const HANDLE control = OpenControl();
    ASSERT_NE(control, INVALID_HANDLE_VALUE);
    const auto raw = ConnectUnix(SocketPath());
    ASSERT_TRUE(raw.Valid());
    ASSERT_TRUE(SendBytes(raw.Get(), HelloMessage()));
    ASSERT_TRUE(ReceiveReply(raw.Get()));

    ASSERT_TRUE(StopDaemon()) << Daemon().Log();
    EXPECT_NE(Daemon().Log().find("closed 1 handle(s) left open"), std::string::npos)
        << Daemon().Log();
    // The connection ended with the daemon: requests now fail.
    std::uint32_t count = 0;
    EXPECT_FALSE(Control(control, IOCTL_VCOM_GET_DEV_MOD_COUNT, nullptr, 0, &count, sizeof count));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_REMOVED));
    EXPECT_TRUE(CloseHandle(control));
}

TEST_F(DaemonLifecycleTest, ClientsReconnectToARestartedDaemon)
{
    const HANDLE before = OpenControl();
    ASSERT_TRUE(StopDaemon());
    StartDaemon();
    const HANDLE after = OpenControl();
    ASSERT_NE(after, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_EQ(ModuleCount(after), 0u);
    CloseHandle(after);
    CloseHandle(before);
}

// Waits for a process that is not our child to end.
bool WaitForProcessExit(pid_t pid)
{
    zel::UniqueFd exitWatch(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    if (!exitWatch.Valid()) {
        return errno == ESRCH;
    }
    pollfd wait{exitWatch.Get(), POLLIN, 0};
    return poll(&wait, 1, zel::test::Deadline().PollMs()) == 1;
}

TEST(DaemonBackgroundTest, DetachesOnceReadyAndLogsToTheStateDirectory)
{
    zel::test::TempDir dir;
    const std::string socket = dir.File("s");
    zel::test::ChildProcess parent(ZELVCOMD_PATH,
                                   {"--state", dir.Path().string(), "--socket", socket});
    EXPECT_TRUE(parent.Stdout().WaitFor(
        [&](const std::string& line) { return line == "zelvcomd ready socket=" + socket; }));
    ASSERT_TRUE(zel::test::ChildProcess::ExitedWith(parent.WaitForExit(), EXIT_SUCCESS));

    pid_t daemon = 0;
    std::ifstream(dir.File("zelvcomd.lock")) >> daemon;
    ASSERT_GT(daemon, 0);
    setenv(zelipc::kSocketEnvironment, socket.c_str(), 1);
    const HANDLE control = CreateFileA(kControlDevice, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                       OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(control, INVALID_HANDLE_VALUE);
    CloseHandle(control);

    ASSERT_EQ(kill(daemon, SIGTERM), 0);
    ASSERT_TRUE(WaitForProcessExit(daemon));
    std::ifstream log(dir.File("zelvcomd.log"));
    const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("driver ZelVCOM loaded"), std::string::npos) << text;
    EXPECT_NE(text.find("driver ZelVCOM unloaded"), std::string::npos) << text;
}

}  // namespace
}  // namespace zeltest
