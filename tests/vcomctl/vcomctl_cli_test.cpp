// vcomctl run as a process: help and usage errors, which never reach for the
// daemon; the commands without a daemon; and against a real zelvcomd, its
// output, its own refusals and exit statuses. Which arguments are refused is
// tested on the parsers (vcomctl_parts_test).
#include "daemon_fixture.h"
#include "support/deadline.h"
#include "support/process.h"

#include <common/exit_status.h>

#include <cstdlib>
#include <fstream>

namespace zel::test {
namespace {

using zeltools::ExitCode;
using zeltools::ToStatus;

ProgramOutcome RunVcomctl(const std::vector<std::string>& Args)
{
    return RunToExit(VCOMCTL_PATH, Args);
}

// No daemon anywhere: a command that tried to reach one would exit 3.
class VcomctlUsageTest : public ::testing::Test {
protected:
    void SetUp() override { UseDaemonSocket(dir_.File("absent.sock")); }
    TempDir dir_;
};

TEST_F(VcomctlUsageTest, HelpUsageErrorsAndNoDaemon)
{
    const auto usage = RunVcomctl({"help"});
    EXPECT_EQ(usage.Status, ToStatus(ExitCode::Ok));
    EXPECT_EQ(usage.Out.rfind("usage: vcomctl COMMAND", 0), 0u) << usage.Out;
    EXPECT_EQ(usage.Err, "");
    EXPECT_EQ(RunVcomctl({"-h"}).Out, usage.Out);
    const auto viaHelp = RunVcomctl({"help", "add"});
    EXPECT_EQ(viaHelp.Status, ToStatus(ExitCode::Ok));
    EXPECT_EQ(viaHelp.Out.rfind("usage: vcomctl add", 0), 0u) << viaHelp.Out;
    EXPECT_EQ(RunVcomctl({"add", "10.0.0.1", "--help"}).Out, viaHelp.Out);
    EXPECT_EQ(RunVcomctl({"help", "--help"}).Out.rfind("usage: vcomctl help", 0), 0u);

    // A known command's complaint names it and shows its usage.
    const std::pair<std::vector<std::string>, std::string> bad[] = {
        {{}, "no command given"},
        {{"frobnicate"}, "unknown command 'frobnicate'"},
        {{"help", "frobnicate"}, "no such command 'frobnicate'"},
        {{"add"}, "ADDRESS CONTROL_PORT NAME"},
        {{"add", "10.0.0.1", "4000", "lab"}, "at least one CHANNEL"},
        {{"list", "--xml"}, "unknown argument '--xml'"},
        {{"status", "now"}, "no arguments expected"},
    };
    for (const auto& [args, reason] : bad) {
        const auto outcome = RunVcomctl(args);
        EXPECT_EQ(outcome.Status, ToStatus(ExitCode::Usage)) << reason;
        EXPECT_TRUE(Contains(outcome.Err, reason)) << outcome.Err;
        EXPECT_EQ(outcome.Out, "");
        if (!args.empty() && args.front() != "frobnicate" && args.front() != "help") {
            EXPECT_EQ(outcome.Err.rfind("vcomctl " + args.front() + ": ", 0), 0u) << outcome.Err;
            EXPECT_TRUE(Contains(outcome.Err, "usage: vcomctl " + args.front())) << outcome.Err;
        }
    }
    // A command that needs the daemon says it is not there.
    const auto outcome = RunVcomctl({"add", "10.0.0.2", "4100", "bench", "4101:0"});
    EXPECT_EQ(outcome.Status, ToStatus(ExitCode::DaemonNotRunning));
    EXPECT_EQ(outcome.Err, "vcomctl add: cannot reach zelvcomd: " + dir_.File("absent.sock") +
                               " ($ZELVCOM_SOCKET): absent\n");
    EXPECT_EQ(outcome.Out, "");
}

const std::vector<std::string> kAddLab = {"add", "192.168.1.10", "4000",
                                          "lab", "4001:5",       "4002:6:withhold"};
const std::vector<std::string> kAddBench = {"add", "10.0.0.2", "4100", "bench", "4101:0"};

constexpr const char kTwoModulesTable[] =
    "INDEX NAME                 ADDRESS          CONTROL  CHANNEL  TCPPORT  PORT    LINE SETTINGS  "
    "PATH\n"
    "0     lab                  192.168.1.10     4000     1        4001     COM5    sent           "
    "-\n"
    "                                                     2        4002     COM6    withheld       "
    "-\n"
    "1     bench                10.0.0.2         4100     1        4101     -       sent           "
    "-\n";

class VcomctlTest : public zeltest::DaemonTest {
protected:
    // Runs vcomctl and expects it to succeed; returns its stdout.
    std::string Ok(const std::vector<std::string>& Args)
    {
        const auto outcome = RunVcomctl(Args);
        EXPECT_EQ(outcome.Status, ToStatus(ExitCode::Ok)) << ::testing::PrintToString(Args) << "\n"
                                                          << outcome.Err;
        EXPECT_EQ(outcome.Err, "");
        return outcome.Out;
    }
};

// What each command prints, add's own refusals (it reads the table first to
// say which module is in the way), and the started ports' paths: the
// daemon's links, listed once they exist and gone again after a stop. The
// table's rules are the driver's.
TEST_F(VcomctlTest, EachCommandEndToEnd)
{
    const std::string ptyDir = PtyDirectory().string();
    ASSERT_EQ(setenv("ZELVCOM_PTY_DIR", ptyDir.c_str(), 1), 0);
    const std::string com6 = ptyDir + "/COM6";
    // The daemon makes and removes the links just after the command.
    const auto listWhen = [this, &com6](bool withCom6) {
        Deadline deadline;
        std::string table = Ok({"list"});
        while (Contains(table, com6) != withCom6 && !deadline.Passed()) {
            table = Ok({"list"});
        }
        return table;
    };

    EXPECT_EQ(Ok(kAddLab),
              "added module 0 'lab' (192.168.1.10, 2 channels); 'vcomctl start' creates its ports, "
              "'vcomctl save' keeps it\n");
    EXPECT_TRUE(Contains(Ok(kAddBench), "added module 1 'bench' (10.0.0.2, 1 channel)"));
    auto refused = RunVcomctl({"add", "192.168.1.10", "5000", "other", "5001:9"});
    EXPECT_EQ(refused.Status, ToStatus(ExitCode::Failed));
    EXPECT_EQ(refused.Err,
              "vcomctl add: a module with address 192.168.1.10 is already configured: module 0 "
              "('lab')\n");
    EXPECT_EQ(refused.Out, "");
    refused = RunVcomctl({"add", "10.0.0.9", "5000", "other", "5001:9", "5002:COM6"});
    EXPECT_EQ(refused.Status, ToStatus(ExitCode::Failed));
    EXPECT_TRUE(Contains(refused.Err, "COM6 is already used by module 0 ('lab')")) << refused.Err;

    EXPECT_EQ(Ok({"list"}), kTwoModulesTable);
    const std::string json = Ok({"list", "--json"});
    EXPECT_TRUE(Contains(
        json, R"({"tcp_port": 4002, "com": 6, "withhold": true, "path": null, "rfc2217": null})"))
        << json;
    EXPECT_EQ(Ok({"status"}), "run status: stopped (no module device exists)\nmodules: 2\n");
    EXPECT_EQ(Ok({"start"}), "started all modules\n");
    EXPECT_EQ(Ok({"status"}),
              "run status: running (at least one module device exists)\nmodules: 2\n");
    const std::string table = listWhen(true);
    EXPECT_TRUE(Contains(table, "sent           " + ptyDir + "/COM5\n")) << table;
    EXPECT_TRUE(Contains(table, "withheld       " + com6 + "\n")) << table;
    EXPECT_TRUE(Contains(Ok({"list", "--json"}), "\"path\": \"" + com6 + "\", \"rfc2217\": null}"));
    EXPECT_EQ(Ok({"start"}), "all modules are already running\n");
    EXPECT_EQ(Ok({"stop"}), "stopped all modules\n");
    EXPECT_FALSE(Contains(listWhen(false), com6));

    EXPECT_EQ(Ok({"save"}), "configuration saved\n");
    EXPECT_EQ(Ok({"clear"}), "module table cleared\n");
    EXPECT_EQ(Ok({"list"}), "no modules configured\n");
    EXPECT_EQ(Ok({"list", "--json"}), "{\n  \"modules\": []\n}\n");
    EXPECT_EQ(Ok({"reload"}), "configuration reloaded\n");
    EXPECT_EQ(Ok({"list"}), kTwoModulesTable);

    // Export and import round trip; as the table is the saved
    // configuration, each change saves it again.
    const std::string exported = Ok({"export"});
    EXPECT_EQ(exported, Ok({"list", "--json"}));
    const std::string file = Dir().File("modules.json");
    std::ofstream(file) << exported;
    refused = RunVcomctl({"import", file});
    EXPECT_EQ(refused.Status, ToStatus(ExitCode::Failed));
    EXPECT_TRUE(Contains(refused.Err,
                         "modules.json: module 0: a module with address 192.168.1.10 "
                         "is already configured"))
        << refused.Err;
    EXPECT_EQ(Ok({"remove", "0"}),
              "removed module 0 ('lab'); the modules after it moved up one index\n"
              "configuration saved\n");
    EXPECT_TRUE(Contains(Ok({"list"}), "0     bench")) << Ok({"list"});
    EXPECT_TRUE(Contains(Ok({"import", "--replace", file}), "configuration saved\n"));
    EXPECT_EQ(Ok({"reload"}), "configuration reloaded\n");
    EXPECT_EQ(Ok({"list"}), kTwoModulesTable);
    EXPECT_EQ(Ok({"delete-saved"}), "saved configuration deleted\n");
}

// Stop acts on every module it can and names each one an open port keeps
// running; remove and clear, which would stop them all, change nothing.
TEST_F(VcomctlTest, OpenPortsKeepTheirModulesAndHoldTheTable)
{
    ModuleSimulator a({"echo"});
    ModuleSimulator b(ModuleSimulator::CommandLine{},
                      {"--address", "127.0.0.2", "--control", "0", "--channel", "0:echo"});
    const auto module = [](ModuleSimulator& sim, const char* address, const char* name,
                           const char* com) {
        return std::vector<std::string>{"add", address, std::to_string(sim.ControlPort()), name,
                                        std::to_string(sim.ChannelPort(1)) + ":" + com};
    };
    Ok(module(a, "127.0.0.1", "a", "21"));
    Ok(module(b, "127.0.0.2", "b", "22"));
    Ok({"add", "10.0.0.3", "4000", "c", "4001:23"});
    Ok({"start"});
    const HANDLE com21 = OpenPort(21);
    const HANDLE com22 = OpenPort(22);
    ASSERT_NE(com21, INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_NE(com22, INVALID_HANDLE_VALUE) << GetLastError();

    auto outcome = RunVcomctl({"stop"});
    EXPECT_EQ(outcome.Status, ToStatus(ExitCode::Failed));
    EXPECT_EQ(outcome.Out, "stopped module 2 ('c')\n");
    const std::string byUs = ", pid " + std::to_string(getpid()) + ")\n";
    EXPECT_TRUE(
        Contains(outcome.Err, "vcomctl stop: module 0 ('a') keeps running: COM21 is open ("))
        << outcome.Err;
    EXPECT_TRUE(
        Contains(outcome.Err, "vcomctl stop: module 1 ('b') keeps running: COM22 is open ("))
        << outcome.Err;
    EXPECT_TRUE(Contains(outcome.Err, byUs)) << outcome.Err;

    const std::string table = Ok({"list"});
    outcome = RunVcomctl({"remove", "2"});
    EXPECT_EQ(outcome.Status, ToStatus(ExitCode::Failed));
    EXPECT_TRUE(Contains(outcome.Err, "module 1 ('b'): COM22 is open")) << outcome.Err;
    EXPECT_TRUE(Contains(outcome.Err, "nothing was changed")) << outcome.Err;
    // Clearing now would leave the ports where no stop reaches them.
    outcome = RunVcomctl({"clear"});
    EXPECT_EQ(outcome.Status, ToStatus(ExitCode::Failed));
    EXPECT_TRUE(Contains(outcome.Err, "run 'vcomctl stop' first")) << outcome.Err;
    EXPECT_EQ(Ok({"list"}), table);
    EXPECT_TRUE(Contains(Ok({"status"}), "run status: running")) << Daemon().Log();

    EXPECT_TRUE(CloseHandle(com21));
    EXPECT_TRUE(CloseHandle(com22));
    EXPECT_EQ(Ok({"clear", "--force"}), "stopped all modules\nmodule table cleared\n");
}

// What zelvcomd saw of a port: who has it open, the bytes each way, the
// module dropping the connection and the driver's connecting again.
TEST_F(VcomctlTest, PortsTellOpenerTrafficDropsAndReconnects)
{
    ModuleSimulator module({"echo"});
    Ok({"add", "127.0.0.1", std::to_string(module.ControlPort()), "m",
        std::to_string(module.ChannelPort(1)) + ":31"});
    Ok({"start"});
    const std::string row = "COM31   0       1        ";
    EXPECT_TRUE(Contains(Ok({"ports"}), row + "closed        0          0            0      0  "));
    const HANDLE port = OpenPort(31);
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    COMMTIMEOUTS waitForData{1000, 0, 1, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &waitForData)) << GetLastError();
    DWORD moved = 0;
    ASSERT_TRUE(WriteFile(port, "ping", 4, &moved, nullptr)) << GetLastError();
    char echo[4];
    for (DWORD got = 0, have = 0; have < sizeof echo; have += got) {
        ASSERT_TRUE(ReadFile(port, echo + have, sizeof echo - have, &got, nullptr));
    }
    ASSERT_EQ(module.Command("close 1").rfind("ok", 0), 0u);
    ASSERT_TRUE(Daemon().SawLog("COM31: the data connection is back")) << Daemon().Log();

    const std::string ports = Ok({"ports"});
    EXPECT_TRUE(Contains(ports, row + "connected     4          4            1      1  ")) << ports;
    EXPECT_TRUE(Contains(ports, "(pid " + std::to_string(getpid()) + "), a zelwin32 client\n"))
        << ports;
    EXPECT_TRUE(Contains(ports, "last error: the module closed the data connection\n")) << ports;
    EXPECT_TRUE(Contains(Ok({"ports", "--json"}), "\"drops\": 1,"));
    EXPECT_TRUE(CloseHandle(port));
}

// A command that finds the device held tries again until it is free, for a
// few seconds at most. The holder exits without releasing its handle: the
// library's unload step (or the process's end) must free the device.
TEST_F(VcomctlTest, BusyDeviceIsWaitedForThenReported)
{
    auto holder = std::make_unique<ChildProcess>(HANDLE_HOLDER_PATH, std::vector<std::string>{});
    ASSERT_TRUE(holder->Stdout().WaitForPrefix("holding")) << holder->Stderr().Text();
    ChildProcess waiting(VCOMCTL_PATH, {"status"});
    ASSERT_TRUE(Daemon().SawLog("open \\\\.\\ZelMain failed")) << Daemon().Log();
    holder->CloseStdin();
    ASSERT_TRUE(ChildProcess::ExitedWith(holder->WaitForExit(), 0));
    EXPECT_TRUE(ChildProcess::ExitedWith(waiting.WaitForExit(), 0)) << waiting.Stderr().Text();

    // Commands at once take turns.
    std::vector<std::unique_ptr<ChildProcess>> lists;
    for (int i = 0; i < 8; ++i) {
        lists.push_back(
            std::make_unique<ChildProcess>(VCOMCTL_PATH, std::vector<std::string>{"list"}));
    }
    for (const auto& list : lists) {
        EXPECT_TRUE(ChildProcess::ExitedWith(list->WaitForExit(), 0)) << list->Stderr().Text();
    }

    holder = std::make_unique<ChildProcess>(HANDLE_HOLDER_PATH, std::vector<std::string>{});
    ASSERT_TRUE(holder->Stdout().WaitForPrefix("holding")) << holder->Stderr().Text();
    const auto outcome = RunVcomctl({"status"});
    EXPECT_EQ(outcome.Status, ToStatus(ExitCode::DeviceBusy));
    EXPECT_TRUE(Contains(outcome.Err, "the control device is busy")) << outcome.Err;
}

}  // namespace
}  // namespace zel::test
