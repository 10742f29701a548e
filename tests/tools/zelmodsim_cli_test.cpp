// zelmodsim as a program: arguments, exit, the command inputs. Every mode,
// option and command is used end to end by the other tests.
#include "channel.h"

#include "support/loopback.h"
#include "support/module_simulator.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>

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

}  // namespace
}  // namespace zel::test
