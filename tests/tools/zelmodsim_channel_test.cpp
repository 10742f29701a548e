// zelmodsim's data channels, seen from plain TCP clients.
#include "zelmodsim_harness.h"

#include "support/loopback.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

namespace zel::test {
namespace {

constexpr std::size_t kRoundTripBytes = 4096;
constexpr std::size_t kBulkBytes = 4 * 1024 * 1024;  // well past the simulator's pause mark
constexpr std::size_t kSinkBytes = 3000;
constexpr std::size_t kSourceFileBytes = 10000;
// How long a connect whose SYN the kernel drops is watched for not
// completing. The client repeats its SYN only after a second, so this only
// sets how sure the check is, not whether it is right.
constexpr std::chrono::milliseconds kNoAnswerWindow{300};

// Every byte value, over and over.
std::string Pattern(std::size_t size)
{
    constexpr int kByteValues = 256;
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>(i % kByteValues);
    }
    return bytes;
}

TEST(ZelmodsimChannel, EchoSendsBackWhatArrives)
{
    ModuleSim sim({"--channel", "0:echo"});
    auto client = ConnectLoopback(sim.ChannelPort(1));
    ASSERT_TRUE(client.Fd.Valid()) << client.Error;
    const std::string data = Pattern(kRoundTripBytes);
    ASSERT_TRUE(SendAll(client.Fd.Get(), data));
    const auto echoed = ReceiveBytes(client.Fd.Get(), data.size());
    EXPECT_EQ(echoed.End, StreamEnd::Complete);
    EXPECT_EQ(echoed.Data, data);
}

TEST(ZelmodsimChannel, EchoKeepsEverythingForAReaderThatLagsBehind)
{
    ModuleSim sim({"--channel", "0:echo"});
    auto client = ConnectLoopback(sim.ChannelPort(1));
    ASSERT_TRUE(client.Fd.Valid()) << client.Error;
    const std::string data = Pattern(kBulkBytes);
    bool sent = false;
    std::thread writer([&] { sent = SendAll(client.Fd.Get(), data); });
    const auto echoed = ReceiveBytes(client.Fd.Get(), data.size());
    writer.join();
    EXPECT_TRUE(sent);
    EXPECT_EQ(echoed.End, StreamEnd::Complete);
    EXPECT_TRUE(echoed.Data == data);
}

TEST(ZelmodsimChannel, SinkCountsWhatArrives)
{
    ModuleSim sim({"--channel", "0:echo", "--channel", "0:sink"});
    auto client = ConnectLoopback(sim.ChannelPort(2));
    ASSERT_TRUE(client.Fd.Valid()) << client.Error;
    ASSERT_TRUE(SendAll(client.Fd.Get(), Pattern(kSinkBytes)));
    const std::string total = " total=" + std::to_string(kSinkBytes);
    ASSERT_TRUE(sim.Process().Stdout().WaitFor([&](const std::string& line) {
        return line.rfind("RECEIVED channel=2 ", 0) == 0 && line.size() > total.size() &&
               line.compare(line.size() - total.size(), total.size(), total) == 0;
    }));
    EXPECT_EQ(sim.Command("stats"), "ok stats frames=0 received=0," + std::to_string(kSinkBytes));
}

TEST(ZelmodsimChannel, SourceTextIsSentOnConnect)
{
    ModuleSim sim({"--channel", "0:source-text=hello\\x2c world\\n"});
    auto client = ConnectLoopback(sim.ChannelPort(1));
    ASSERT_TRUE(client.Fd.Valid()) << client.Error;
    const std::string expected = "hello, world\n";
    EXPECT_EQ(ReceiveBytes(client.Fd.Get(), expected.size()).Data, expected);
    EXPECT_TRUE(sim.SawLine("SENT channel=1 bytes=" + std::to_string(expected.size())));
}

TEST(ZelmodsimChannel, SourceFileIsSentOnEveryConnect)
{
    TempDir dir;
    const std::string data = Pattern(kSourceFileBytes);
    std::ofstream(dir.File("source.bin"), std::ios::binary) << data;
    ModuleSim sim({"--channel", "0:source=" + dir.File("source.bin")});
    for (int connect = 0; connect < 2; ++connect) {
        auto client = ConnectLoopback(sim.ChannelPort(1));
        ASSERT_TRUE(client.Fd.Valid()) << client.Error;
        EXPECT_TRUE(ReceiveBytes(client.Fd.Get(), data.size()).Data == data);
    }
}

TEST(ZelmodsimChannel, CloseAfterEndsTheConnectionGracefully)
{
    ModuleSim sim({"--channel", "0:echo,close-after=4"});
    auto client = ConnectLoopback(sim.ChannelPort(1));
    ASSERT_TRUE(client.Fd.Valid()) << client.Error;
    ASSERT_TRUE(SendAll(client.Fd.Get(), "abcdef"));
    const auto received = ReceiveToEnd(client.Fd.Get());
    EXPECT_EQ(received.Data, "abcd");
    EXPECT_EQ(received.End, StreamEnd::Eof);
    EXPECT_TRUE(sim.SawLine("DISCONNECTED channel=1 reason=close-after"));
}

TEST(ZelmodsimChannel, ResetAfterResetsTheConnection)
{
    ModuleSim sim({"--channel", "0:sink,reset-after=4"});
    auto client = ConnectLoopback(sim.ChannelPort(1));
    ASSERT_TRUE(client.Fd.Valid()) << client.Error;
    ASSERT_TRUE(SendAll(client.Fd.Get(), "abcd"));
    const auto received = ReceiveToEnd(client.Fd.Get());
    EXPECT_EQ(received.End, StreamEnd::Error);
    EXPECT_EQ(received.Error, ECONNRESET);
    EXPECT_TRUE(sim.SawLine("DISCONNECTED channel=1 reason=reset-after"));
}

TEST(ZelmodsimChannel, CommandsSendCloseAndReset)
{
    ModuleSim sim({"--channel", "0:sink"});
    auto first = ConnectLoopback(sim.ChannelPort(1));
    ASSERT_TRUE(first.Fd.Valid()) << first.Error;
    ASSERT_TRUE(sim.SawLine("CONNECTED channel=1"));
    EXPECT_EQ(sim.Command("send 1 hi\\n"), "ok");
    const std::string sent = "hi\n";
    EXPECT_EQ(ReceiveBytes(first.Fd.Get(), sent.size()).Data, sent);
    EXPECT_EQ(sim.Command("close 1"), "ok");
    EXPECT_EQ(ReceiveToEnd(first.Fd.Get()).End, StreamEnd::Eof);
    EXPECT_EQ(sim.Command("send 1 late"), "error: channel 1 has no open connection");

    auto second = ConnectLoopback(sim.ChannelPort(1));
    ASSERT_TRUE(second.Fd.Valid()) << second.Error;
    ASSERT_TRUE(sim.SawLine("CONNECTED channel=1"));
    EXPECT_EQ(sim.Command("reset 1"), "ok");
    const auto received = ReceiveToEnd(second.Fd.Get());
    EXPECT_EQ(received.End, StreamEnd::Error);
    EXPECT_EQ(received.Error, ECONNRESET);
    EXPECT_EQ(sim.Command("send 2 x"), "error: there is no channel 2");
}

TEST(ZelmodsimChannel, NewConnectionReplacesTheCurrentOne)
{
    ModuleSim sim({"--channel", "0:echo"});
    auto first = ConnectLoopback(sim.ChannelPort(1));
    ASSERT_TRUE(first.Fd.Valid()) << first.Error;
    ASSERT_TRUE(sim.SawLine("CONNECTED channel=1"));
    auto second = ConnectLoopback(sim.ChannelPort(1));
    ASSERT_TRUE(second.Fd.Valid()) << second.Error;
    EXPECT_TRUE(sim.SawLine("DISCONNECTED channel=1 reason=replaced"));
    EXPECT_EQ(ReceiveToEnd(first.Fd.Get()).End, StreamEnd::Eof);
    const std::string text = "still here";
    ASSERT_TRUE(SendAll(second.Fd.Get(), text));
    EXPECT_EQ(ReceiveBytes(second.Fd.Get(), text.size()).Data, text);
}

TEST(ZelmodsimChannel, RefusingChannelRefusesConnects)
{
    ModuleSim sim({"--channel", "0:echo,refuse"});
    const auto client = ConnectLoopback(sim.ChannelPort(1));
    EXPECT_FALSE(client.Fd.Valid());
    EXPECT_EQ(client.Error, ECONNREFUSED);
    EXPECT_EQ(sim.Command("accept 1"), "error: channel 1 refuses connections");
}

TEST(ZelmodsimChannel, HeldConnectionIsServedOnceAccepted)
{
    ModuleSim sim({"--channel", "0:echo,accept-delay"});
    auto client = ConnectLoopback(sim.ChannelPort(1));  // completes in the kernel's queue
    ASSERT_TRUE(client.Fd.Valid()) << client.Error;
    const std::string ping = "ping";
    ASSERT_TRUE(SendAll(client.Fd.Get(), ping));  // waits in the socket until accepted
    EXPECT_EQ(sim.Command("accept 1"), "ok");
    EXPECT_TRUE(sim.SawLine("CONNECTED channel=1"));
    EXPECT_EQ(ReceiveBytes(client.Fd.Get(), ping.size()).Data, ping);
}

TEST(ZelmodsimChannel, HeldChannelLetsFurtherConnectsTimeOut)
{
    ModuleSim sim({"--channel", "0:echo,accept-delay"});
    auto first = ConnectLoopback(sim.ChannelPort(1));
    auto second = ConnectLoopback(sim.ChannelPort(1));
    ASSERT_TRUE(first.Fd.Valid()) << first.Error;
    ASSERT_TRUE(second.Fd.Valid()) << second.Error;
    {
        auto third = StartConnect(sim.ChannelPort(1));
        ASSERT_TRUE(third.Fd.Valid()) << third.Error;
        EXPECT_FALSE(WaitConnected(third.Fd.Get(), Deadline(kNoAnswerWindow)));
    }  // given up, so its repeated SYN cannot take a place later

    EXPECT_EQ(sim.Command("accept 1"), "ok");
    EXPECT_TRUE(sim.SawLine("DISCONNECTED channel=1 reason=replaced"));  // the second took over
    const std::string pong = "pong";
    ASSERT_TRUE(SendAll(second.Fd.Get(), pong));
    EXPECT_EQ(ReceiveBytes(second.Fd.Get(), pong.size()).Data, pong);
    EXPECT_EQ(sim.Command("hold 1"), "ok");
}

}  // namespace
}  // namespace zel::test
