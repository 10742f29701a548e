// zelmodsim's control port: frames in, replies and reports out.
#include "zelmodsim_harness.h"

#include "support/loopback.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace zel::test {
namespace {

const std::string kStatusTag = "29";
constexpr std::size_t kStatusRecordSize = 9;
constexpr std::size_t kStatusChannelAt = 5;
constexpr std::size_t kStatusLevelAt = 7;
const std::string kDefaultReply = "OK";
// Sent after the bytes under test; everything before it must be those bytes.
const std::string kMarker = "|";

class ZelmodsimControl : public ::testing::Test {
protected:
    // Starts the simulator and connects to its control port.
    void Start(std::vector<std::string> args = {})
    {
        sim_.emplace(args);
        Connect();
    }

    void Connect()
    {
        auto connected = ConnectLoopback(sim_->ControlPort());
        ASSERT_TRUE(connected.Fd.Valid()) << connected.Error;
        client_ = std::move(connected.Fd);
        ASSERT_TRUE(sim_->SawLine("CONNECTED control"));
    }

    // What arrives on the control connection up to a marker sent after it.
    std::string ReceiveUpToMarker()
    {
        EXPECT_EQ(sim_->Command("send-control " + kMarker), "ok");
        const auto received = ReceiveThrough(client_.Get(), kMarker);
        EXPECT_EQ(received.End, StreamEnd::Complete);
        return received.Data.substr(
            0, received.Data.size() - std::min(received.Data.size(), kMarker.size()));
    }

    std::optional<ModuleSim> sim_;
    UniqueFd client_;
};

TEST_F(ZelmodsimControl, FrameIsLoggedAndAnswered)
{
    TempDir dir;
    Start({"--frame-log", dir.File("frames.log")});
    ASSERT_TRUE(SendAll(client_.Get(), "0219600"));
    EXPECT_TRUE(sim_->SawLine("FRAME 0219600"));
    EXPECT_EQ(ReceiveBytes(client_.Get(), kDefaultReply.size()).Data, kDefaultReply);
    EXPECT_TRUE(sim_->SawLine("SENT control OK"));

    std::ifstream log(dir.File("frames.log"));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(log), {}), "0219600\n");
    EXPECT_EQ(sim_->Command("stats"), "ok stats frames=1 received=");
}

TEST_F(ZelmodsimControl, FrameBytesOutsidePrintableAsciiAreEscaped)
{
    Start();
    ASSERT_TRUE(SendAll(client_.Get(), std::string("05\x01\\\xff", 5)));
    EXPECT_TRUE(sim_->SawLine("FRAME 05\\x01\\\\\\xff"));
}

TEST_F(ZelmodsimControl, ReplyTextIsConfigurable)
{
    Start({"--reply", "ACK\\r\\n"});
    ASSERT_TRUE(SendAll(client_.Get(), "0328N1"));
    const std::string reply = "ACK\r\n";
    EXPECT_EQ(ReceiveBytes(client_.Get(), reply.size()).Data, reply);
}

TEST_F(ZelmodsimControl, SilentModeSendsNothing)
{
    Start({"--reply-mode", "silent"});
    ASSERT_TRUE(SendAll(client_.Get(), "0511"));
    ASSERT_TRUE(sim_->SawLine("FRAME 0511"));
    EXPECT_EQ(sim_->Command("reply answer"), "ok reply answer");
    ASSERT_TRUE(SendAll(client_.Get(), "0510"));
    ASSERT_TRUE(sim_->SawLine("FRAME 0510"));
    // Only the second frame was answered.
    EXPECT_EQ(ReceiveUpToMarker(), kDefaultReply);
}

TEST_F(ZelmodsimControl, LateModeAnswersLater)
{
    Start({"--reply-mode", "late=20"});
    ASSERT_TRUE(SendAll(client_.Get(), "0219600"));
    EXPECT_EQ(ReceiveBytes(client_.Get(), kDefaultReply.size()).Data, kDefaultReply);
    EXPECT_TRUE(sim_->SawLine("SENT control OK"));
}

TEST_F(ZelmodsimControl, LateRepliesGoWithTheirConnection)
{
    Start({"--reply-mode", "late=600000"});
    ASSERT_TRUE(SendAll(client_.Get(), "0219600"));
    ASSERT_TRUE(sim_->SawLine("FRAME 0219600"));
    client_.Reset();
    ASSERT_TRUE(sim_->SawLine("DISCONNECTED control reason=peer"));
    Connect();
    EXPECT_EQ(ReceiveUpToMarker(), "");
}

TEST_F(ZelmodsimControl, CtsReportIsSixBytes)
{
    Start();
    EXPECT_EQ(sim_->Command("cts 1 1"), "ok");
    EXPECT_TRUE(sim_->SawLine("SENT control CTS1 1"));
    EXPECT_EQ(ReceiveUpToMarker(), "CTS1 1");
}

TEST_F(ZelmodsimControl, StatusRecordsEndWithTheOneAskedFor)
{
    Start();
    EXPECT_EQ(sim_->Command("status 2 1 2"), "ok");
    const std::string records = ReceiveUpToMarker();
    ASSERT_EQ(records.size(), 2 * kStatusRecordSize);
    EXPECT_EQ(records.substr(0, kStatusTag.size()), kStatusTag);
    EXPECT_EQ(records.substr(kStatusRecordSize, kStatusTag.size()), kStatusTag);
    EXPECT_EQ(records[kStatusRecordSize + kStatusChannelAt], '2');
    EXPECT_EQ(records[kStatusRecordSize + kStatusLevelAt], '1');
    EXPECT_EQ(records[kStatusLevelAt], '0');  // the earlier record says the opposite
}

TEST_F(ZelmodsimControl, ReportsNeedAControlConnection)
{
    Start();
    client_.Reset();
    ASSERT_TRUE(sim_->SawLine("DISCONNECTED control reason=peer"));
    EXPECT_EQ(sim_->Command("cts 1 1"), "error: no open control connection");
    EXPECT_EQ(sim_->Command("status 1 1"), "error: no open control connection");
    EXPECT_EQ(sim_->Command("close-control"), "error: no open control connection");
}

TEST_F(ZelmodsimControl, CloseControlEndsGracefully)
{
    Start();
    EXPECT_EQ(sim_->Command("close-control"), "ok");
    EXPECT_EQ(ReceiveToEnd(client_.Get()).End, StreamEnd::Eof);
    EXPECT_TRUE(sim_->SawLine("DISCONNECTED control reason=close-control"));
}

TEST_F(ZelmodsimControl, ResetControlResets)
{
    Start();
    EXPECT_EQ(sim_->Command("reset-control"), "ok");
    const auto received = ReceiveToEnd(client_.Get());
    EXPECT_EQ(received.End, StreamEnd::Error);
    EXPECT_EQ(received.Error, ECONNRESET);
}

TEST_F(ZelmodsimControl, NewControlConnectionReplacesTheCurrentOne)
{
    Start();
    UniqueFd first = std::move(client_);
    Connect();
    EXPECT_TRUE(sim_->SawLine("DISCONNECTED control reason=replaced"));
    EXPECT_EQ(ReceiveToEnd(first.Get()).End, StreamEnd::Eof);
    EXPECT_EQ(sim_->Command("cts 2 0"), "ok");
    EXPECT_EQ(ReceiveUpToMarker(), "CTS2 0");
}

}  // namespace
}  // namespace zel::test
