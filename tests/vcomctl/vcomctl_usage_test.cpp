// vcomctl's help and usage errors: none of them needs or reaches the daemon.
#include "lib/zelvcomd_process.h"
#include "support/temp_dir.h"
#include "vcomctl/vcomctl_harness.h"

#include <gtest/gtest.h>

#include <ostream>

namespace zel::test {
namespace {

const std::vector<std::string> kCommands = {"add",  "list",   "status", "start",       "stop",
                                            "save", "reload", "clear",  "delete-saved"};

// No daemon anywhere: a command that tried to reach one would exit 3.
class VcomctlUsageTest : public ::testing::Test {
protected:
    void SetUp() override { UseDaemonSocket(dir_.File("absent.sock")); }
    TempDir dir_;
};

TEST_F(VcomctlUsageTest, HelpListsEveryCommandAndTheExitStatuses)
{
    for (const char* option : {"--help", "-h", "help"}) {
        const auto outcome = RunVcomctl({option});
        EXPECT_EQ(outcome.Status, kExitOk) << option;
        EXPECT_TRUE(Contains(outcome.Out, "usage: vcomctl COMMAND")) << option;
        for (const auto& command : kCommands) {
            EXPECT_TRUE(Contains(outcome.Out, "\n  " + command)) << command;
        }
        for (const char* status : {"0  success", "1  the operation failed", "2  usage error",
                                   "3  zelvcomd is not running", "4  the control device is busy"}) {
            EXPECT_TRUE(Contains(outcome.Out, status)) << status;
        }
        EXPECT_EQ(outcome.Err, "");
    }
}

TEST_F(VcomctlUsageTest, EveryCommandHasHelpBothWays)
{
    for (const auto& command : kCommands) {
        const auto viaHelp = RunVcomctl({"help", command});
        const auto viaOption = RunVcomctl({command, "--help"});
        EXPECT_EQ(viaHelp.Status, kExitOk) << command;
        EXPECT_EQ(viaOption.Status, kExitOk) << command;
        EXPECT_EQ(viaHelp.Out.rfind("usage: vcomctl " + command, 0), 0u) << viaHelp.Out;
        EXPECT_EQ(viaHelp.Out, viaOption.Out) << command;
    }
}

TEST_F(VcomctlUsageTest, AddHelpExplainsTheChannels)
{
    const auto outcome = RunVcomctl({"add", "-h"});
    EXPECT_EQ(outcome.Status, kExitOk);
    EXPECT_TRUE(Contains(outcome.Out, "TCPPORT:COM:withhold"));
    EXPECT_TRUE(Contains(outcome.Out, "0-4096"));
}

TEST_F(VcomctlUsageTest, NoCommandIsAUsageError)
{
    const auto outcome = RunVcomctl({});
    EXPECT_EQ(outcome.Status, kExitUsage);
    EXPECT_TRUE(Contains(outcome.Err, "no command given"));
}

TEST_F(VcomctlUsageTest, UnknownCommandIsAUsageError)
{
    const auto outcome = RunVcomctl({"frobnicate"});
    EXPECT_EQ(outcome.Status, kExitUsage);
    EXPECT_TRUE(Contains(outcome.Err, "unknown command 'frobnicate'"));
    EXPECT_EQ(outcome.Out, "");
}

TEST_F(VcomctlUsageTest, HelpForAnUnknownCommandIsAUsageError)
{
    const auto outcome = RunVcomctl({"help", "frobnicate"});
    EXPECT_EQ(outcome.Status, kExitUsage);
    EXPECT_TRUE(Contains(outcome.Err, "no such command 'frobnicate'"));
}

struct BadCommandLine {
    std::vector<std::string> Args;
    std::string Reason;  // part of the message
};

void PrintTo(const BadCommandLine& bad, std::ostream* out)
{
    for (const auto& arg : bad.Args) {
        *out << arg << ' ';
    }
}

class VcomctlBadCommandLine : public VcomctlUsageTest, public ::testing::WithParamInterface<BadCommandLine> {};

TEST_P(VcomctlBadCommandLine, ExitsWithUsageAndSaysWhy)
{
    const auto outcome = RunVcomctl(GetParam().Args);
    EXPECT_EQ(outcome.Status, kExitUsage);
    EXPECT_EQ(outcome.Err.rfind("vcomctl " + GetParam().Args.front() + ": ", 0), 0u) << outcome.Err;
    EXPECT_TRUE(Contains(outcome.Err, GetParam().Reason)) << outcome.Err;
    EXPECT_TRUE(Contains(outcome.Err, "usage: vcomctl " + GetParam().Args.front())) << outcome.Err;
    EXPECT_EQ(outcome.Out, "");
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, VcomctlBadCommandLine,
    ::testing::Values(
        BadCommandLine{{"add"}, "ADDRESS CONTROL_PORT NAME"},
        BadCommandLine{{"add", "10.0.0.1", "4000", "lab"}, "at least one CHANNEL"},
        BadCommandLine{{"add", "10.0.0", "4000", "lab", "4001:5"}, "not an IPv4 address"},
        BadCommandLine{{"add", "10.0.0.300", "4000", "lab", "4001:5"}, "not an IPv4 address"},
        BadCommandLine{{"add", "0.0.0.0", "4000", "lab", "4001:5"}, "cannot be the address"},
        BadCommandLine{{"add", "10.0.0.1", "0", "lab", "4001:5"}, "1 to 65535"},
        BadCommandLine{{"add", "10.0.0.1", "65536", "lab", "4001:5"}, "1 to 65535"},
        BadCommandLine{{"add", "10.0.0.1", "4000", "", "4001:5"}, "must not be empty"},
        BadCommandLine{{"add", "10.0.0.1", "4000", "twenty-bytes-name-xx", "4001:5"}, "at most 19"},
        BadCommandLine{{"add", "10.0.0.1", "4000", "lab", "4001"}, "TCPPORT:COM"},
        BadCommandLine{{"add", "10.0.0.1", "4000", "lab", "0:5"}, "TCP port"},
        BadCommandLine{{"add", "10.0.0.1", "4000", "lab", "4001:4097"}, "0 to 4096"},
        BadCommandLine{{"add", "10.0.0.1", "4000", "lab", "4001:5:keep"}, "'withhold'"},
        BadCommandLine{{"add", "10.0.0.1", "4000", "lab", "4001:5", "4002:5"}, "COM5 is given to two"},
        BadCommandLine{{"add", "10.0.0.1", "4000", "lab", "4001:5", "4001:6"}, "TCP port 4001 is given twice"},
        BadCommandLine{{"add", "10.0.0.1", "4000", "lab", "1:1", "2:2", "3:3", "4:4", "5:5", "6:6", "7:7",
                        "8:8", "9:9"},
                       "at most 8 channels"},
        BadCommandLine{{"list", "--xml"}, "unknown argument '--xml'"},
        BadCommandLine{{"status", "now"}, "no arguments expected"},
        BadCommandLine{{"start", "all"}, "no arguments expected"},
        BadCommandLine{{"delete-saved", "-f"}, "no arguments expected"}));

}  // namespace
}  // namespace zel::test
