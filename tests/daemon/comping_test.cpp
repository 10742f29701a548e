// comping, the program, against a real zelvcomd and zelmodsim: round trips
// through an echo channel, and the failures a user meets first.
#include "daemon_fixture.h"

#include <regex>

namespace zeltest {
namespace {

constexpr unsigned kCom = 61;
// The documented exit statuses.
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitDaemonNotRunning = 3;

zel::test::ProgramOutcome RunComping(const std::vector<std::string>& args)
{
    return zel::test::RunToExit(COMPING_PATH, args);
}

// SetCommState reaches the module as the channel's line settings; the
// round trips come back whole.
TEST_F(DaemonTest, CompingRoundTripsThroughAnEchoChannel)
{
    ModuleSimulator module({"echo"});
    AddAndStart(LoopbackModule(module.ControlPort(), {module.ChannelPort(1)}, kCom));
    // Round trips through an echo never wait this long, however slow the build.
    const std::string timeout = std::to_string(zel::test::kSafetyTimeout.count());
    const auto outcome = RunComping({"COM61", "--baud", "19200", "--count", "3", "--message",
                                     "hello", "--timeout-ms", timeout});
    ASSERT_EQ(outcome.Status, 0) << outcome.Err << Daemon().Log();
    EXPECT_EQ(outcome.Err, "");
    std::string trips;
    for (const char* seq : {"1", "2", "3"}) {
        trips += "5 bytes from COM61: seq=" + std::string(seq) + " \"hello\" time=[0-9]+ us\n";
    }
    const std::regex expected(
        "COMPING COM61: \"hello\" \\(5 bytes\\), 19200 baud 8N1, 3 round trips, timeout " +
        timeout + " ms\n" + trips +
        "--- COM61: 3 of 3 round trips matched, time min/avg/max [0-9]+/[0-9]+/[0-9]+ us\n");
    EXPECT_TRUE(std::regex_match(outcome.Out, expected)) << outcome.Out;
    EXPECT_TRUE(module.Saw("FRAME 02119200")) << module.Output();
}

TEST_F(DaemonTest, CompingNamesWhatWentWrong)
{
    ModuleSimulator module({"sink"});
    AddAndStart(LoopbackModule(module.ControlPort(), {module.ChannelPort(1)}, kCom));
    auto outcome = RunComping({"COM61", "--count", "2", "--timeout-ms", "100"});
    EXPECT_EQ(outcome.Status, kExitFailed);
    EXPECT_EQ(outcome.Err,
              "comping: COM61 seq=1: timed out after 100 ms with nothing back (does the far end "
              "echo?)\n");
    EXPECT_TRUE(Contains(outcome.Out,
                         "\n--- COM61: 0 of 2 round trips matched; stopped after round trip 1\n"))
        << outcome.Out;

    outcome = RunComping({"COM62"});
    EXPECT_EQ(outcome.Status, kExitFailed);
    EXPECT_EQ(outcome.Err,
              "comping: cannot open \\\\.\\COM62 (error 2): no such port ('vcomctl list' shows the "
              "configured ports, 'vcomctl start' creates them)\n");

    outcome = RunComping({"COM61", "--count", "0"});
    EXPECT_EQ(outcome.Status, kExitUsage);
    EXPECT_TRUE(Contains(outcome.Err, "usage: comping COM<n>")) << outcome.Err;

    ASSERT_TRUE(StopDaemon()) << Daemon().Log();
    outcome = RunComping({"COM61"});
    EXPECT_EQ(outcome.Status, kExitDaemonNotRunning);
    EXPECT_EQ(outcome.Err, "comping: cannot open \\\\.\\COM61 (error 2): cannot reach zelvcomd: " +
                               SocketPath() + " ($ZELVCOM_SOCKET): absent\n");
    EXPECT_EQ(outcome.Out, "");
}

}  // namespace
}  // namespace zeltest
