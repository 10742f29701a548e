// vcomctl against a real zelvcomd: its output, its own refusals and exit statuses.
#include "lib/library_fixture.h"
#include "vcomctl/vcomctl_harness.h"

#include "support/deadline.h"

#include <cstdlib>

namespace zel::test {
namespace {

const std::vector<std::string> kAddLab = {"add", "192.168.1.10", "4000",
                                          "lab", "4001:5",       "4002:6:withhold"};
const std::vector<std::string> kAddBench = {"add", "10.0.0.2", "4100", "bench", "4101:0"};

constexpr const char kTwoModulesTable[] =
    "INDEX NAME                 ADDRESS          CONTROL  CHANNEL  TCPPORT  PORT    LINE SETTINGS  "
    "PATH\n"
    "0     lab                  192.168.1.10     4000     0        4001     COM5    sent           "
    "-\n"
    "                                                     1        4002     COM6    withheld       "
    "-\n"
    "1     bench                10.0.0.2         4100     0        4101     -       sent           "
    "-\n";

constexpr const char kTwoModulesJson[] = R"({
  "modules": [
    {
      "index": 0,
      "name": "lab",
      "address": "192.168.1.10",
      "control_port": 4000,
      "channels": [
        {"tcp_port": 4001, "com": 5, "withhold": false, "path": null},
        {"tcp_port": 4002, "com": 6, "withhold": true, "path": null}
      ]
    },
    {
      "index": 1,
      "name": "bench",
      "address": "10.0.0.2",
      "control_port": 4100,
      "channels": [
        {"tcp_port": 4101, "com": 0, "withhold": false, "path": null}
      ]
    }
  ]
}
)";

constexpr const char kEmptyJson[] = "{\n  \"modules\": []\n}\n";
constexpr const char kEmptyTable[] = "no modules configured\n";

class VcomctlTest : public LibraryTest {
protected:
    // Runs vcomctl and expects it to succeed; returns its stdout.
    std::string Ok(const std::vector<std::string>& Args)
    {
        const auto outcome = RunVcomctl(Args);
        EXPECT_EQ(outcome.Status, kExitOk) << ::testing::PrintToString(Args) << "\n" << outcome.Err;
        EXPECT_EQ(outcome.Err, "");
        return outcome.Out;
    }
};

// What each command prints; the table's rules are the driver's.
TEST_F(VcomctlTest, EachCommandEndToEnd)
{
    EXPECT_EQ(Ok(kAddLab),
              "added module 0 'lab' (192.168.1.10, 2 channels); 'vcomctl start' creates its ports, "
              "'vcomctl save' keeps it\n");
    EXPECT_TRUE(Contains(Ok(kAddBench), "added module 1 'bench' (10.0.0.2, 1 channel)"));
    EXPECT_EQ(Ok({"list"}), kTwoModulesTable);
    EXPECT_EQ(Ok({"list", "--json"}), kTwoModulesJson);
    EXPECT_EQ(Ok({"status"}), "run status: stopped (no module device exists)\nmodules: 2\n");
    EXPECT_EQ(Ok({"start"}), "started all modules\n");
    EXPECT_EQ(Ok({"status"}),
              "run status: running (at least one module device exists)\nmodules: 2\n");
    EXPECT_EQ(Ok({"stop"}), "stopped all modules\n");
    EXPECT_EQ(Ok({"save"}), "configuration saved\n");
    EXPECT_EQ(Ok({"clear"}), "module table cleared\n");
    EXPECT_EQ(Ok({"list"}), kEmptyTable);
    EXPECT_EQ(Ok({"list", "--json"}), kEmptyJson);
    EXPECT_EQ(Ok({"reload"}), "configuration reloaded\n");
    EXPECT_EQ(Ok({"list"}), kTwoModulesTable);
    EXPECT_EQ(Ok({"delete-saved"}), "saved configuration deleted\n");
}

TEST_F(VcomctlTest, DuplicateAddressIsRefusedWithTheModuleItCollidesWith)
{
    Ok(kAddLab);
    const auto outcome = RunVcomctl({"add", "192.168.1.10", "5000", "other", "5001:9"});
    EXPECT_EQ(outcome.Status, kExitFailed);
    EXPECT_EQ(outcome.Err,
              "vcomctl add: a module with address 192.168.1.10 is already configured: module 0 "
              "('lab')\n");
    EXPECT_EQ(outcome.Out, "");
    EXPECT_TRUE(Contains(Ok({"status"}), "modules: 1"));
}

TEST_F(VcomctlTest, ComNumberInUseIsRefused)
{
    Ok(kAddLab);
    const auto outcome = RunVcomctl({"add", "10.0.0.9", "5000", "other", "5001:9", "5002:COM6"});
    EXPECT_EQ(outcome.Status, kExitFailed);
    EXPECT_TRUE(Contains(outcome.Err, "COM6 is already used by module 0 ('lab')")) << outcome.Err;
    EXPECT_TRUE(Contains(Ok({"status"}), "modules: 1"));
}

TEST_F(VcomctlTest, FullTableIsRefused)
{
    {
        OpenHandle handle;
        ASSERT_TRUE(handle.Valid());
        for (std::uint32_t i = 0; i < MODULE_TABLE_SIZE; ++i) {
            ModuleRecord record{};
            record.ModuleIP = i + 1;
            ASSERT_EQ(VCOM_AddModule(handle.Get(), &record), 1) << i;
        }
    }
    const auto outcome = RunVcomctl(kAddLab);
    EXPECT_EQ(outcome.Status, kExitFailed);
    EXPECT_TRUE(Contains(outcome.Err, "the module table is full (256 modules)")) << outcome.Err;
}

// Started ports are where programs open them: the daemon's links, shown
// once they exist and gone again after a stop.
TEST_F(VcomctlTest, StartedPortsListTheirPaths)
{
    const std::string ptyDir = dir_.File("state") + "/dev";
    ASSERT_EQ(setenv("ZELVCOM_PTY_DIR", ptyDir.c_str(), 1), 0);
    const std::string com6 = ptyDir + "/COM6";
    // The daemon makes and removes the links just after the command.
    auto listWhen = [this](bool withCom6, const std::string& com6Path) {
        Deadline deadline;
        std::string table = Ok({"list"});
        while (Contains(table, com6Path) != withCom6 && !deadline.Passed()) {
            table = Ok({"list"});
        }
        return table;
    };
    Ok(kAddLab);
    Ok({"start"});
    const std::string table = listWhen(true, com6);
    EXPECT_TRUE(Contains(table, "sent           " + ptyDir + "/COM5\n")) << table;
    EXPECT_TRUE(Contains(table, "withheld       " + com6 + "\n")) << table;
    EXPECT_TRUE(Contains(Ok({"list", "--json"}), "\"path\": \"" + com6 + "\"}"));
    Ok({"stop"});
    EXPECT_FALSE(Contains(listWhen(false, com6), com6));
}

TEST_F(VcomctlTest, SecondStartFailsWithAHint)
{
    Ok(kAddLab);
    Ok({"start"});
    const auto outcome = RunVcomctl({"start"});
    EXPECT_EQ(outcome.Status, kExitFailed);
    EXPECT_TRUE(Contains(outcome.Err, "vcomctl start: start failed:")) << outcome.Err;
    EXPECT_TRUE(Contains(outcome.Err, "vcomctl stop")) << outcome.Err;
    Ok({"stop"});
}

TEST_F(VcomctlTest, BusyDeviceIsReportedAndFreedAgain)
{
    ChildProcess holder(HANDLE_HOLDER_PATH, {});
    ASSERT_TRUE(holder.Stdout().WaitForPrefix("holding"))
        << holder.Stdout().Text() << holder.Stderr().Text();
    for (const char* command : {"status", "list", "start"}) {
        const auto outcome = RunVcomctl({command});
        EXPECT_EQ(outcome.Status, kExitDeviceBusy) << command;
        EXPECT_TRUE(Contains(outcome.Err, "the control device is busy")) << outcome.Err;
    }
    holder.CloseStdin();
    ASSERT_TRUE(ChildProcess::ExitedWith(holder.WaitForExit(), 0));
    Ok({"status"});
}

TEST(VcomctlNoDaemon, CommandsSayTheDaemonIsNotRunning)
{
    TempDir dir;
    UseDaemonSocket(dir.File("absent.sock"));
    const std::vector<std::vector<std::string>> commands = {kAddLab, {"list", "--json"}, {"start"}};
    for (const auto& args : commands) {
        const auto outcome = RunVcomctl(args);
        EXPECT_EQ(outcome.Status, kExitDaemonNotRunning) << args.front();
        EXPECT_EQ(
            outcome.Err,
            "vcomctl " + args.front() +
                ": zelvcomd is not running (the control device \\\\.\\ZelMain does not exist)\n");
        EXPECT_EQ(outcome.Out, "");
    }
}

}  // namespace
}  // namespace zel::test
