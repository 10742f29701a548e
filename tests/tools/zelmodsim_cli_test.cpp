// zelmodsim as a program: arguments, exit, the command inputs.
#include "zelmodsim_harness.h"

#include "support/loopback.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/un.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>

namespace zel::test {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kMaxChannels = 8;

UniqueFd ConnectUnix(const std::string& path)
{
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return UniqueFd();
    }
    return fd;
}

// Sends one command line and reads its one reply line.
std::string Ask(int fd, const std::string& line)
{
    if (!SendAll(fd, line + "\n")) {
        return "(send failed)";
    }
    const auto reply = ReceiveThrough(fd, "\n");
    return reply.Data.empty() ? "(no reply)" : reply.Data.substr(0, reply.Data.size() - 1);
}

TEST(ZelmodsimCli, HelpExitsZero)
{
    ChildProcess process(ZELMODSIM_PATH, {"--help"});
    EXPECT_TRUE(process.Stdout().WaitForPrefix("usage: zelmodsim"));
    EXPECT_TRUE(ChildProcess::ExitedWith(process.WaitForExit(), kExitOk));
}

struct BadArguments {
    const char* Name;
    std::vector<std::string> Args;
};

void PrintTo(const BadArguments& bad, std::ostream* out)
{
    for (const auto& arg : bad.Args) {
        *out << arg << ' ';
    }
}

class ZelmodsimBadArguments : public ::testing::TestWithParam<BadArguments> {};

TEST_P(ZelmodsimBadArguments, ExitWithUsageError)
{
    ChildProcess process(ZELMODSIM_PATH, GetParam().Args);
    EXPECT_TRUE(process.Stderr().WaitForPrefix("zelmodsim: "));
    EXPECT_TRUE(ChildProcess::ExitedWith(process.WaitForExit(), kExitUsage));
    EXPECT_EQ(process.Stdout().Text(), "");
}

std::vector<std::string> TooManyChannels()
{
    std::vector<std::string> args;
    for (int i = 0; i <= kMaxChannels; ++i) {
        args.insert(args.end(), {"--channel", "0:echo"});
    }
    return args;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ZelmodsimBadArguments,
    ::testing::Values(BadArguments{"UnknownOption", {"--frobnicate"}},
                      BadArguments{"MissingValue", {"--channel"}},
                      BadArguments{"UnknownMode", {"--channel", "0:bogus"}},
                      BadArguments{"NoPort", {"--channel", "echo"}},
                      BadArguments{"UnknownChannelOption", {"--channel", "0:echo,sometimes"}},
                      BadArguments{"ZeroLimit", {"--channel", "0:echo,close-after=0"}},
                      BadArguments{"TwoLimits",
                                   {"--channel", "0:echo,close-after=2,reset-after=3"}},
                      BadArguments{"RefuseAndHold", {"--channel", "0:echo,refuse,accept-delay"}},
                      BadArguments{"BadEscape", {"--channel", "0:source-text=bad\\q"}},
                      BadArguments{"PortTooLarge", {"--control", "65536"}},
                      BadArguments{"NegativePort", {"--control", "-1"}},
                      BadArguments{"HostName", {"--address", "localhost"}},
                      BadArguments{"UnknownReplyMode", {"--reply-mode", "loud"}},
                      BadArguments{"TooManyChannels", TooManyChannels()}),
    [](const ::testing::TestParamInfo<BadArguments>& info) {
        return std::string(info.param.Name);
    });

TEST(ZelmodsimCli, PortInUseFails)
{
    ModuleSim first({"--channel", "0:echo"});
    ChildProcess second(ZELMODSIM_PATH,
                        {"--channel", std::to_string(first.ChannelPort(1)) + ":echo"});
    EXPECT_TRUE(second.Stderr().WaitForPrefix("zelmodsim: cannot bind 127.0.0.1:"));
    EXPECT_TRUE(ChildProcess::ExitedWith(second.WaitForExit(), kExitFailure));
}

TEST(ZelmodsimCli, MissingSourceFileFails)
{
    TempDir dir;
    ChildProcess process(ZELMODSIM_PATH, {"--channel", "0:source=" + dir.File("missing")});
    EXPECT_TRUE(process.Stderr().WaitForPrefix("zelmodsim: cannot open "));
    EXPECT_TRUE(ChildProcess::ExitedWith(process.WaitForExit(), kExitFailure));
}

TEST(ZelmodsimCli, QuitExitsZero)
{
    ModuleSim sim({});
    EXPECT_EQ(sim.Command("quit"), "ok");
    EXPECT_TRUE(ChildProcess::ExitedWith(sim.Process().WaitForExit(), kExitOk));
}

TEST(ZelmodsimCli, TerminateSignalExitsZero)
{
    ModuleSim sim({"--channel", "0:echo"});
    ASSERT_TRUE(sim.Process().Signal(SIGTERM));
    EXPECT_TRUE(ChildProcess::ExitedWith(sim.Process().WaitForExit(), kExitOk));
}

TEST(ZelmodsimCli, BadCommandsAreReported)
{
    ModuleSim sim({"--channel", "0:echo"});
    EXPECT_EQ(sim.Command("frob"), "error: unknown command 'frob'");
    EXPECT_EQ(sim.Command("cts 10 1"), "error: channel must be one digit 0-9, not '10'");
    EXPECT_EQ(sim.Command("status 1 1 0"), "error: count must be a number from 1 to 227, not '0'");
    EXPECT_EQ(sim.Command("close 9"), "error: channel must be a number from 1 to 8, not '9'");
    EXPECT_EQ(sim.Command("close"), "error: usage: close CHANNEL");
    EXPECT_EQ(sim.Command("send-control \\q"), "error: unknown escape \\q");
    EXPECT_EQ(sim.Command("reply late=x"),
              "error: late delay (ms) must be a number from 0 to 600000, not 'x'");
    EXPECT_EQ(sim.Command("stats"), "ok stats frames=0 received=0");
}

TEST(ZelmodsimCli, EndOfStandardInputKeepsItRunning)
{
    ModuleSim sim({"--channel", "0:echo"});
    sim.Process().CloseStdin();
    auto client = ConnectLoopback(sim.ChannelPort(1));
    ASSERT_TRUE(client.Fd.Valid()) << client.Error;
    const std::string text = "alive";
    ASSERT_TRUE(SendAll(client.Fd.Get(), text));
    EXPECT_EQ(ReceiveBytes(client.Fd.Get(), text.size()).Data, text);
    ASSERT_TRUE(sim.Process().Signal(SIGTERM));
    EXPECT_TRUE(ChildProcess::ExitedWith(sim.Process().WaitForExit(), kExitOk));
}

TEST(ZelmodsimCli, CommandSocketTakesCommands)
{
    TempDir dir;
    const std::string path = dir.File("commands");
    ModuleSim sim({"--channel", "0:sink", "--command-socket", path});
    UniqueFd commands = ConnectUnix(path);
    ASSERT_TRUE(commands.Valid());
    EXPECT_EQ(Ask(commands.Get(), "stats"), "ok stats frames=0 received=0");
    EXPECT_EQ(Ask(commands.Get(), "bogus"), "error: unknown command 'bogus'");
    EXPECT_EQ(Ask(commands.Get(), "cts 1 1"), "error: no open control connection");
    EXPECT_EQ(Ask(commands.Get(), "quit"), "ok");
    EXPECT_TRUE(ChildProcess::ExitedWith(sim.Process().WaitForExit(), kExitOk));
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(ZelmodsimCli, ExistingCommandSocketPathFails)
{
    TempDir dir;
    const std::string path = dir.File("taken");
    std::ofstream(path) << "not a socket";
    ChildProcess process(ZELMODSIM_PATH, {"--command-socket", path});
    EXPECT_TRUE(
        process.Stderr().WaitForPrefix("zelmodsim: " + path + " exists and is not a socket"));
    EXPECT_TRUE(ChildProcess::ExitedWith(process.WaitForExit(), kExitFailure));
    EXPECT_TRUE(std::filesystem::exists(path));  // someone else's file stays
}

}  // namespace
}  // namespace zel::test
