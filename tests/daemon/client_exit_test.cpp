// A client process that dies is cleaned up as Windows does at process exit:
// its pending requests cancelled, its handles cleaned up and closed, so a
// crashed configuration tool never leaves \\.\ZelMain locked.
#include "daemon_fixture.h"
#include "module_simulator.h"

#include "support/process.h"

namespace zeltest {
namespace {

constexpr unsigned kCom = 31;

class ClientExitTest : public DaemonTest {
protected:
    std::unique_ptr<zel::test::ChildProcess> Probe(const std::string& command,
                                                   const std::string& device)
    {
        auto probe = std::make_unique<zel::test::ChildProcess>(
            WIN32_PROBE_PATH, std::vector<std::string>{command, device});
        return probe;
    }

    static bool Said(zel::test::ChildProcess& probe, const std::string& word)
    {
        return probe.Stdout()
            .WaitFor([&word](const std::string& line) { return line == word; })
            .has_value();
    }

    static void Kill(zel::test::ChildProcess& probe)
    {
        ASSERT_TRUE(probe.Signal(SIGKILL));
        const auto status = probe.WaitForExit();
        ASSERT_TRUE(status && WIFSIGNALED(*status));
    }
};

TEST_F(ClientExitTest, AKilledClientLeavesTheControlDeviceFree)
{
    auto probe = Probe("open", kControlDevice);
    ASSERT_TRUE(Said(*probe, "OPENED")) << probe->Stdout().Text() << Daemon().Log();
    EXPECT_EQ(OpenControl(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    Kill(*probe);
    ASSERT_TRUE(Daemon().SawLog("closed 1 handle(s) left open")) << Daemon().Log();
    const HANDLE control = OpenControl();
    EXPECT_NE(control, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(control);
}

TEST_F(ClientExitTest, AClientThatExitsNormallyClosesItsOwnHandle)
{
    auto probe = Probe("open", kControlDevice);
    ASSERT_TRUE(Said(*probe, "OPENED"));
    probe->CloseStdin();
    ASSERT_TRUE(zel::test::ChildProcess::ExitedWith(probe->WaitForExit(), EXIT_SUCCESS));
    ASSERT_TRUE(Daemon().SawLog("gone"));
    const HANDLE control = OpenControl();
    EXPECT_NE(control, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(control);
    EXPECT_EQ(Daemon().Log().find("left open"), std::string::npos);
}

TEST_F(ClientExitTest, AKilledClientsPendingWaitIsCancelledAndItsPortFreed)
{
    ModuleSimulator module({"echo"});
    AddAndStart(LoopbackModule(module.ControlPort(), {module.ChannelPort(1)}, kCom));

    auto probe = Probe("pending-wait", "\\\\.\\COM" + std::to_string(kCom));
    ASSERT_TRUE(Said(*probe, "PENDING")) << probe->Stdout().Text() << Daemon().Log();
    Kill(*probe);
    ASSERT_TRUE(Daemon().SawLog("closed 1 handle(s) left open")) << Daemon().Log();

    // Reopening needs the close, which needs the wait to have completed:
    // only the cancel ends it.
    const HANDLE port = OpenPort(kCom);
    EXPECT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(port);
}

}  // namespace
}  // namespace zeltest
