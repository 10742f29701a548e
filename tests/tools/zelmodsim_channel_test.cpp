// zelmodsim's data channels, seen from plain TCP clients.
#include "support/loopback.h"
#include "support/module_simulator.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>

namespace zel::test {
namespace {

UniqueFd Connect(ModuleSimulator& sim, int channel)
{
    auto client = ConnectLoopback(sim.ChannelPort(channel));
    EXPECT_TRUE(client.Fd.Valid()) << client.Error;
    return std::move(client.Fd);
}

// Sources send on every connect, a sink counts, and byte limits close or
// reset the connection.
TEST(ZelmodsimChannel, SourcesSinksAndByteLimits)
{
    constexpr std::size_t kSinkBytes = 3000;
    TempDir dir;
    const std::string file = PatternBytes(10000, 1);
    std::ofstream(dir.File("source.bin"), std::ios::binary) << file;
    ModuleSimulator sim({"source-text=hello\\x2c world\\n", "source=" + dir.File("source.bin"),
                         "sink", "echo,close-after=4", "sink,reset-after=4"});
    const std::string text = "hello, world\n";
    EXPECT_EQ(ReceiveBytes(Connect(sim, 1).Get(), text.size()).Data, text);
    EXPECT_TRUE(sim.Saw("SENT channel=1 bytes=" + std::to_string(text.size())));
    for (int connect = 0; connect < 2; ++connect) {
        EXPECT_TRUE(ReceiveBytes(Connect(sim, 2).Get(), file.size()).Data == file);
    }

    UniqueFd sink = Connect(sim, 3);
    ASSERT_TRUE(SendAll(sink.Get(), PatternBytes(kSinkBytes, 2)));
    const std::string total = " total=" + std::to_string(kSinkBytes);
    ASSERT_TRUE(sim.SawMatching([&](const std::string& line) {
        return line.rfind("RECEIVED channel=3 ", 0) == 0 && line.size() > total.size() &&
               line.compare(line.size() - total.size(), total.size(), total) == 0;
    }));
    EXPECT_EQ(sim.Command("stats"),
              "ok stats frames=0 received=0,0," + std::to_string(kSinkBytes) + ",0,0");

    UniqueFd closing = Connect(sim, 4);
    ASSERT_TRUE(SendAll(closing.Get(), "abcdef"));
    const auto closed = ReceiveToEnd(closing.Get());
    EXPECT_EQ(closed.Data, "abcd");
    EXPECT_EQ(closed.End, StreamEnd::Eof);
    EXPECT_TRUE(sim.Saw("DISCONNECTED channel=4 reason=close-after"));
    UniqueFd resetting = Connect(sim, 5);
    ASSERT_TRUE(SendAll(resetting.Get(), "abcd"));
    const auto reset = ReceiveToEnd(resetting.Get());
    EXPECT_EQ(reset.End, StreamEnd::Error);
    EXPECT_EQ(reset.Error, ECONNRESET);
    EXPECT_TRUE(sim.Saw("DISCONNECTED channel=5 reason=reset-after"));
}

// Send, close and reset act on the current connection; a new connection
// replaces it. (Bulk echo shows in the COM ports' end-to-end tests.)
TEST(ZelmodsimChannel, CommandsAndNewConnectionsActOnTheCurrentConnection)
{
    ModuleSimulator sim({"echo"});
    UniqueFd first = Connect(sim, 1);
    ASSERT_TRUE(sim.Saw("CONNECTED channel=1"));
    EXPECT_EQ(sim.Command("send 1 hi\\n"), "ok");
    EXPECT_EQ(ReceiveBytes(first.Get(), 3).Data, "hi\n");
    EXPECT_EQ(sim.Command("close 1"), "ok");
    EXPECT_EQ(ReceiveToEnd(first.Get()).End, StreamEnd::Eof);
    EXPECT_EQ(sim.Command("send 1 late"), "error: channel 1 has no open connection");
    EXPECT_EQ(sim.Command("send 2 x"), "error: there is no channel 2");

    UniqueFd second = Connect(sim, 1);
    ASSERT_TRUE(sim.Saw("CONNECTED channel=1"));
    UniqueFd third = Connect(sim, 1);
    EXPECT_TRUE(sim.Saw("DISCONNECTED channel=1 reason=replaced"));
    EXPECT_EQ(ReceiveToEnd(second.Get()).End, StreamEnd::Eof);
    ASSERT_TRUE(SendAll(third.Get(), "still here"));
    EXPECT_EQ(ReceiveBytes(third.Get(), 10).Data, "still here");
    EXPECT_EQ(sim.Command("reset 1"), "ok");
    const auto reset = ReceiveToEnd(third.Get());
    EXPECT_EQ(reset.End, StreamEnd::Error);
    EXPECT_EQ(reset.Error, ECONNRESET);
}

// A refusing channel refuses; a held one leaves connects in the kernel's
// queue until accepted, and then serves the newest.
TEST(ZelmodsimChannel, RefusedAndHeldConnects)
{
    ModuleSimulator sim({"echo,refuse", "echo,accept-delay"});
    const auto refused = ConnectLoopback(sim.ChannelPort(1));
    EXPECT_FALSE(refused.Fd.Valid());
    EXPECT_EQ(refused.Error, ECONNREFUSED);
    EXPECT_EQ(sim.Command("accept 1"), "error: channel 1 refuses connections");

    UniqueFd first = Connect(sim, 2);  // completes in the kernel's queue
    UniqueFd second = Connect(sim, 2);
    ASSERT_TRUE(SendAll(second.Get(), "ping"));  // waits in the socket until accepted
    EXPECT_EQ(sim.Command("accept 2"), "ok");
    EXPECT_TRUE(sim.Saw("DISCONNECTED channel=2 reason=replaced"));  // the second took over
    EXPECT_EQ(ReceiveBytes(second.Get(), 4).Data, "ping");
    EXPECT_EQ(ReceiveToEnd(first.Get()).End, StreamEnd::Eof);
    EXPECT_EQ(sim.Command("hold 2"), "ok");
}

}  // namespace
}  // namespace zel::test
