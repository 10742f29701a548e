// comping, the program, against a real zelvcomd and zelmodsim: round trips
// through an echo channel, and the failures a user meets first.
#include "daemon_fixture.h"
#include "module_simulator.h"

#include "support/deadline.h"
#include "support/process.h"
#include "support/temp_dir.h"

#include <zelvcom_ipc/runtime_paths.h>

#include <cstdlib>
#include <regex>
#include <sstream>

namespace zeltest {
namespace {

constexpr unsigned kCom = 61;
constexpr const char kPortName[] = "COM61";
constexpr const char kMissingPortName[] = "COM62";
// The documented exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitDaemonNotRunning = 3;

// Round trips through an echo never wait this long, however slow the build.
std::string GenerousTimeoutMs()
{
    return std::to_string(zel::test::kSafetyTimeout.count());
}

zel::test::ProgramOutcome RunComping(const std::vector<std::string>& args)
{
    return zel::test::RunToExit(COMPING_PATH, args);
}

std::vector<std::string> Lines(const std::string& text)
{
    std::istringstream stream(text);
    std::vector<std::string> lines;
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

class CompingTest : public DaemonTest {
protected:
    // A module whose one channel behaves as mode, on COM61.
    void AddModule(const std::string& mode)
    {
        module_ = std::make_unique<ModuleSimulator>(std::vector<std::string>{mode});
        AddAndStart(LoopbackModule(module_->ControlPort(), {module_->ChannelPort(1)}, kCom));
    }

    std::unique_ptr<ModuleSimulator> module_;
};

TEST_F(CompingTest, EveryRoundTripThroughAnEchoChannelComesBackWhole)
{
    constexpr std::size_t kRoundTrips = 3;
    AddModule("echo");
    const auto outcome =
        RunComping({kPortName, "--baud", "19200", "--count", std::to_string(kRoundTrips),
                    "--message", "hello", "--timeout-ms", GenerousTimeoutMs()});
    ASSERT_EQ(outcome.Status, kExitOk) << outcome.Err << Daemon().Log();
    EXPECT_EQ(outcome.Err, "");

    const auto lines = Lines(outcome.Out);
    // A header, a line per round trip, a summary.
    ASSERT_EQ(lines.size(), kRoundTrips + 2) << outcome.Out;
    EXPECT_EQ(lines[0],
              "COMPING COM61: \"hello\" (5 bytes), 19200 baud 8N1, 3 round trips, timeout " +
                  GenerousTimeoutMs() + " ms");
    for (std::size_t sequence = 1; sequence <= kRoundTrips; ++sequence) {
        const std::regex trip("5 bytes from COM61: seq=" + std::to_string(sequence) +
                              " \"hello\" time=[0-9]+ us");
        EXPECT_TRUE(std::regex_match(lines[sequence], trip)) << outcome.Out;
    }
    const std::regex summary(
        "--- COM61: 3 of 3 round trips matched, time min/avg/max [0-9]+/[0-9]+/[0-9]+ us");
    EXPECT_TRUE(std::regex_match(lines.back(), summary)) << outcome.Out;
    // SetCommState reached the module as baud and framing frames of channel 1.
    EXPECT_TRUE(module_->Saw("FRAME 02119200")) << module_->Output();
    EXPECT_TRUE(module_->Saw("FRAME 0318N1")) << module_->Output();
}

TEST_F(CompingTest, AChannelThatSendsNothingBackTimesOut)
{
    AddModule("sink");
    const auto outcome = RunComping({kPortName, "--count", "2", "--timeout-ms", "100"});
    EXPECT_EQ(outcome.Status, kExitFailed);
    EXPECT_EQ(outcome.Err,
              "comping: COM61 seq=1: timed out after 100 ms with nothing back (does the far end "
              "echo?)\n");
    EXPECT_TRUE(Contains(outcome.Out,
                         "\n--- COM61: 0 of 2 round trips matched; stopped after round trip 1\n"))
        << outcome.Out;
}

TEST_F(CompingTest, APortThatDoesNotExistIsNamedAsSuch)
{
    const auto outcome = RunComping({kMissingPortName});
    EXPECT_EQ(outcome.Status, kExitFailed);
    EXPECT_EQ(outcome.Err,
              "comping: cannot open \\\\.\\COM62 (error 2): no such port ('vcomctl list' shows the "
              "configured ports, 'vcomctl start' creates them)\n");
    EXPECT_EQ(outcome.Out, "");
}

TEST(CompingWithoutDaemon, SaysTheDaemonIsNotRunning)
{
    const zel::test::TempDir dir;
    setenv(zelipc::kSocketEnvironment, dir.File("absent.sock").c_str(), 1);
    const auto outcome = RunComping({kPortName});
    EXPECT_EQ(outcome.Status, kExitDaemonNotRunning);
    EXPECT_EQ(outcome.Err,
              "comping: cannot open \\\\.\\COM61 (error 2): zelvcomd is not running\n");
    EXPECT_EQ(outcome.Out, "");
}

TEST(CompingUsage, ABadCommandLineShowsTheHelp)
{
    for (const std::vector<std::string>& args : {std::vector<std::string>{},
                                                 {"COM0"},
                                                 {"ttyS0"},
                                                 {kPortName, "--count", "0"},
                                                 {kPortName, "--message", ""},
                                                 {kPortName, "--timeout-ms"},
                                                 {kPortName, "--verbose"}}) {
        const auto outcome = RunComping(args);
        EXPECT_EQ(outcome.Status, kExitUsage) << ::testing::PrintToString(args);
        EXPECT_TRUE(Contains(outcome.Err, "usage: comping COM<n>")) << outcome.Err;
        EXPECT_EQ(outcome.Out, "");
    }
}

}  // namespace
}  // namespace zeltest
