// vcomctl's help and usage errors: none of them needs or reaches the daemon.
// Which arguments are refused is tested on the parsers (vcomctl_parts_test).
#include "support/daemon_process.h"
#include "support/temp_dir.h"
#include "vcomctl/vcomctl_harness.h"

#include <gtest/gtest.h>

#include <ostream>

namespace zel::test {
namespace {

// No daemon anywhere: a command that tried to reach one would exit 3.
class VcomctlUsageTest : public ::testing::Test {
protected:
    void SetUp() override { UseDaemonSocket(dir_.File("absent.sock")); }
    TempDir dir_;
};

TEST_F(VcomctlUsageTest, HelpAllWays)
{
    const auto usage = RunVcomctl({"help"});
    EXPECT_EQ(usage.Status, kExitOk);
    EXPECT_EQ(usage.Out.rfind("usage: vcomctl COMMAND", 0), 0u) << usage.Out;
    EXPECT_EQ(usage.Err, "");
    for (const char* option : {"--help", "-h"}) {
        EXPECT_EQ(RunVcomctl({option}).Out, usage.Out) << option;
    }
    const auto viaHelp = RunVcomctl({"help", "add"});
    const auto viaOption = RunVcomctl({"add", "10.0.0.1", "--help"});
    EXPECT_EQ(viaHelp.Status, kExitOk);
    EXPECT_EQ(viaOption.Status, kExitOk);
    EXPECT_EQ(viaHelp.Out.rfind("usage: vcomctl add", 0), 0u) << viaHelp.Out;
    EXPECT_EQ(viaHelp.Out, viaOption.Out);
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

class VcomctlBadCommandLine : public VcomctlUsageTest,
                              public ::testing::WithParamInterface<BadCommandLine> {};

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
    ::testing::Values(BadCommandLine{{"add"}, "ADDRESS CONTROL_PORT NAME"},
                      BadCommandLine{{"add", "10.0.0.1", "4000", "lab"}, "at least one CHANNEL"},
                      BadCommandLine{{"add", "10.0.0.1", "4000", "lab", "0:5"}, "TCP port"},
                      BadCommandLine{{"list", "--xml"}, "unknown argument '--xml'"},
                      BadCommandLine{{"status", "now"}, "no arguments expected"},
                      BadCommandLine{{"delete-saved", "-f"}, "no arguments expected"}));

}  // namespace
}  // namespace zel::test
