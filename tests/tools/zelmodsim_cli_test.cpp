// zelmodsim as a program: arguments, exit, the command inputs; and its
// parsers on their own.
#include "channel.h"
#include "commands.h"
#include "control_port.h"

#include <host/common/errors.h>

#include "support/loopback.h"
#include "support/module_simulator.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace zel::test {
namespace {

using namespace zelmodsim;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

TEST(ZelmodsimCli, HelpExitsZeroBadArgumentsAreUsageErrorsAndWhatCannotBeSetUpFails)
{
    ChildProcess help(ZELMODSIM_PATH, {"--help"});
    EXPECT_TRUE(help.Stdout().WaitForPrefix("usage: zelmodsim"));
    EXPECT_TRUE(ChildProcess::ExitedWith(help.WaitForExit(), kExitOk));

    // The last: one channel more than a module has.
    std::vector<std::vector<std::string>> bad = {
        {"--frobnicate"}, {"--channel"}, {"--control", "65536"}, {"--address", "localhost"}, {}};
    for (std::size_t i = 0; i <= kMaxChannels; ++i) {
        bad.back().insert(bad.back().end(), {"--channel", "0:echo"});
    }
    for (const auto& args : bad) {
        ChildProcess process(ZELMODSIM_PATH, args);
        EXPECT_TRUE(process.Stderr().WaitForPrefix("zelmodsim: ")) << args.front();
        EXPECT_TRUE(ChildProcess::ExitedWith(process.WaitForExit(), kExitUsage)) << args.front();
        EXPECT_EQ(process.Stdout().Text(), "");
    }

    // What cannot be set up fails the start.
    ModuleSimulator first({"echo"});
    ChildProcess inUse(ZELMODSIM_PATH,
                       {"--channel", std::to_string(first.ChannelPort(1)) + ":echo"});
    EXPECT_TRUE(inUse.Stderr().WaitForPrefix("zelmodsim: cannot bind 127.0.0.1:"));
    EXPECT_TRUE(ChildProcess::ExitedWith(inUse.WaitForExit(), kExitFailure));
}

TEST(ZelmodsimCli, BadCommandsAreReportedAndEndOfInputKeepsItRunningTillTerminated)
{
    ModuleSimulator sim({"echo"});
    EXPECT_EQ(sim.Command("frob"), "error: unknown command 'frob'");
    EXPECT_EQ(sim.Command("close 9"), "error: channel must be a number from 1 to 8, not '9'");

    sim.Process().CloseStdin();
    auto client = ConnectLoopback(sim.ChannelPort(1));
    ASSERT_TRUE(client.Fd.Valid()) << client.Error;
    ASSERT_TRUE(SendAll(client.Fd.Get(), "alive"));
    EXPECT_EQ(ReceiveBytes(client.Fd.Get(), 5).Data, "alive");
    ASSERT_TRUE(sim.Process().Signal(SIGTERM));
    EXPECT_TRUE(ChildProcess::ExitedWith(sim.Process().WaitForExit(), kExitOk));
}

TEST(ZelmodsimCli, CommandSocketTakesCommandsUntilQuit)
{
    TempDir dir;
    const std::string path = dir.File("commands");
    ModuleSimulator sim(ModuleSimulator::CommandLine{}, {"--command-socket", path});
    const UniqueFd commands = ConnectUnix(path);
    ASSERT_TRUE(commands.Valid());
    // Sends one command line and reads its one reply line.
    const auto ask = [&commands](const std::string& line) {
        EXPECT_TRUE(SendAll(commands.Get(), line + "\n"));
        const auto reply = ReceiveThrough(commands.Get(), "\n");
        return reply.Data.empty() ? "(no reply)" : reply.Data.substr(0, reply.Data.size() - 1);
    };
    EXPECT_EQ(ask("stats"), "ok stats frames=0 received=");
    EXPECT_EQ(ask("cts 1 1"), "error: no open control connection");
    EXPECT_EQ(ask("quit"), "ok");
    EXPECT_TRUE(ChildProcess::ExitedWith(sim.Process().WaitForExit(), kExitOk));
    EXPECT_FALSE(std::filesystem::exists(path));
}

// Every mode, option, command and escape is used end to end by the other
// tests; here the ones refused, and the edges.
TEST(ZelmodsimParse, BadSetupsCommandsAndReplyModesThrow)
{
    for (const char* bad :
         {"echo", "x:echo", "0:", "0:source=", "0:echo,sometimes", "0:echo,close-after=0",
          "0:echo,close-after=2,reset-after=3", "0:echo,accept-delay,refuse",
          "0:source-text=bad\\q", "0:source-text=\\x4"}) {
        EXPECT_THROW(ParseChannelSetup(bad), zel::ParseError) << bad;
    }
    EXPECT_EQ(std::get<command::Status>(ParseCommand("status 2 1")).Count, 1U);
    EXPECT_EQ(std::get<command::SendControl>(ParseCommand("send-control  0219600\\r")).Bytes,
              " 0219600\r");
    for (const char* bad :
         {"", "quit now", "cts 1", "status 1 1 228", "send 0 x", "reply sometimes"}) {
        EXPECT_THROW(ParseCommand(bad), zel::ParseError) << bad;
    }
    EXPECT_THROW(ParseReplyMode("late="), zel::ParseError);
    EXPECT_THROW(ParseReplyMode("late=600001"), zel::ParseError);
}

TEST(ZelmodsimLines, SplitsAndLimits)
{
    constexpr std::size_t kLimit = 4;
    LineBuffer buffer(kLimit);
    std::vector<std::pair<std::string, bool>> lines;
    const auto collect = [&](std::string_view line, bool tooLong) {
        lines.emplace_back(line, tooLong);
    };
    buffer.Feed("ab\r\ncd", collect);
    buffer.Feed("\nabcdef\nlast", collect);
    buffer.Finish(collect);
    const std::vector<std::pair<std::string, bool>> expected = {
        {"ab", false}, {"cd", false}, {"abcd", true}, {"last", false}};
    EXPECT_EQ(lines, expected);
}

}  // namespace
}  // namespace zel::test
