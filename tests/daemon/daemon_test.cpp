// zelvcomd's life: the lock on the state directory, the ready line, a clean
// stop with a client connected, a saved configuration that comes back with
// a restart, and daemonising.
#include "daemon_fixture.h"

#include "support/eventually.h"

#include <poll.h>
#include <sys/syscall.h>

#include <cstdio>
#include <fstream>

namespace zeltest {
namespace {

// A handle held across a restart shows the process's connection to the old
// daemon gone: the next call makes a new one, to the daemon that loaded only
// what was saved.
TEST_F(DaemonTest, RefusesASecondDaemonStopsCleanlyAndComesBackWithWhatWasSaved)
{
    constexpr unsigned kSaved = 41;
    constexpr unsigned kUnsaved = 45;
    DaemonProcess second(Dir().Path(), Dir().File("other.sock"));
    EXPECT_TRUE(zel::test::ChildProcess::ExitedWith(second.WaitForExit(), EXIT_FAILURE));
    EXPECT_TRUE(Contains(second.Log(), "another zelvcomd already uses the state directory"))
        << second.Log();
    // A state directory whose parent is missing is refused, not grown a tree.
    DaemonProcess astray(Dir().Path() / "typo" / "state", Dir().File("astray.sock"));
    EXPECT_TRUE(zel::test::ChildProcess::ExitedWith(astray.WaitForExit(), EXIT_FAILURE));
    EXPECT_TRUE(Contains(astray.Log(), Dir().File("typo") + " does not exist")) << astray.Log();
    EXPECT_FALSE(std::filesystem::exists(Dir().Path() / "typo"));

    // The first one carries on.
    ModuleSimulator module({"echo", "echo"});
    ModuleRecord unsaved = LoopbackModule(module.ControlPort(), {module.ChannelPort(1)}, kUnsaved);
    unsaved.ModuleIP = htonl(INADDR_LOOPBACK + 1);  // one module per address
    const ModuleRecord saved = LoopbackModule(
        module.ControlPort(), {module.ChannelPort(1), module.ChannelPort(2)}, kSaved);
    const HANDLE control = OpenControl();
    ASSERT_NE(control, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_TRUE(Control(control, IOCTL_VCOM_ADD_MODULE, &saved, sizeof saved));
    EXPECT_TRUE(Control(control, IOCTL_VCOM_SAVE_INFO_REG, nullptr, 0));
    EXPECT_TRUE(Control(control, IOCTL_VCOM_ADD_MODULE, &unsaved, sizeof unsaved));
    EXPECT_EQ(ModuleCount(control), 2u);
    EXPECT_TRUE(Control(control, IOCTL_VCOM_START_ALL_SERIAL, nullptr, 0));

    ASSERT_TRUE(StopDaemon()) << Daemon().Log();
    EXPECT_TRUE(Contains(Daemon().Log(), "closed 1 handle(s) left open")) << Daemon().Log();
    EXPECT_FALSE(std::filesystem::exists(SocketPath()));
    std::uint32_t count = 0;
    EXPECT_FALSE(Control(control, IOCTL_VCOM_GET_DEV_MOD_COUNT, nullptr, 0, &count, sizeof count));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_REMOVED));

    StartDaemon();
    for (unsigned com : {kSaved, kSaved + 1}) {
        const HANDLE port = OpenPort(com);
        EXPECT_NE(port, INVALID_HANDLE_VALUE) << "COM" << com << " " << GetLastError();
        CloseHandle(port);
    }
    EXPECT_EQ(OpenPort(kUnsaved), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    CloseHandle(control);
    const HANDLE again = OpenControl();
    EXPECT_EQ(ModuleCount(again), 1u);
    CloseHandle(again);
}

// The state and socket directories are made, as the last part of their paths.
TEST(DaemonBackgroundTest, DetachesOnceReadyAndLogsToTheStateDirectory)
{
    zel::test::TempDir base;
    const std::filesystem::path state = base.Path() / "state";
    const auto file = [&state](const char* name) { return (state / name).string(); };
    const std::string socket = base.File("run") + "/s";
    zel::test::ChildProcess parent(ZELVCOMD_PATH, {"--state", state.string(), "--socket", socket});
    EXPECT_TRUE(parent.Stdout().WaitFor(
        [&](const std::string& line) { return line == "zelvcomd ready socket=" + socket; }));
    ASSERT_TRUE(zel::test::ChildProcess::ExitedWith(parent.WaitForExit(), EXIT_SUCCESS));

    pid_t daemon = 0;
    std::ifstream(file("zelvcomd.lock")) >> daemon;
    ASSERT_GT(daemon, 0);
    zel::test::UseDaemonSocket(socket);
    const HANDLE control = CreateFileA(kControlDevice, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                       OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(control, INVALID_HANDLE_VALUE);
    CloseHandle(control);

    const auto textOf = [](const std::string& path) {
        std::ifstream file(path);
        return std::string((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    };
    // A log rotated away: SIGHUP opens the file again.
    const std::string log = file("zelvcomd.log");
    ASSERT_EQ(std::rename(log.c_str(), file("zelvcomd.log.1").c_str()), 0);
    ASSERT_EQ(kill(daemon, SIGHUP), 0);
    EXPECT_TRUE(zel::test::Eventually([&] { return Contains(textOf(log), "log file reopened"); }));

    // Not our child: its end shows on a pidfd. SIGQUIT stops it as SIGTERM does.
    const zel::UniqueFd exitWatch(static_cast<int>(syscall(SYS_pidfd_open, daemon, 0)));
    ASSERT_EQ(kill(daemon, SIGQUIT), 0);
    pollfd wait{exitWatch.Get(), POLLIN, 0};
    ASSERT_EQ(poll(&wait, 1, zel::test::Deadline().PollMs()), 1);
    const std::string text = textOf(file("zelvcomd.log.1")) + textOf(log);
    EXPECT_TRUE(Contains(text, "driver ZelVCOM loaded")) << text;
    EXPECT_TRUE(Contains(text, "driver ZelVCOM unloaded")) << text;
}

}  // namespace
}  // namespace zeltest
