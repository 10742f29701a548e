// zelmodsim's control port: frames in, replies and reports out.
#include "support/loopback.h"
#include "support/module_simulator.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <optional>

namespace zel::test {
namespace {

// Sent after the bytes under test; everything before it must be those bytes.
const std::string kMarker = "|";

class ZelmodsimControl : public ::testing::Test {
protected:
    // Starts the simulator and connects to its control port.
    void Start(const std::vector<std::string>& args = {})
    {
        sim_.emplace(ModuleSimulator::CommandLine{}, args);
        Connect();
    }

    void Connect()
    {
        auto connected = ConnectLoopback(sim_->ControlPort());
        ASSERT_TRUE(connected.Fd.Valid()) << connected.Error;
        client_ = std::move(connected.Fd);
        ASSERT_TRUE(sim_->Saw("CONNECTED control"));
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

    std::optional<ModuleSimulator> sim_;
    UniqueFd client_;
};

TEST_F(ZelmodsimControl, FramesAreLoggedEscapedAndAnsweredWithTheReplyText)
{
    TempDir dir;
    Start({"--frame-log", dir.File("frames.log"), "--reply", "ACK\\r\\n"});
    ASSERT_TRUE(SendAll(client_.Get(), "0219600"));
    EXPECT_TRUE(sim_->Saw("FRAME 0219600"));
    EXPECT_EQ(ReceiveBytes(client_.Get(), 5).Data, "ACK\r\n");
    EXPECT_TRUE(sim_->Saw("SENT control ACK\\x0d\\x0a"));
    std::ifstream log(dir.File("frames.log"));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(log), {}), "0219600\n");
    EXPECT_EQ(sim_->Command("stats"), "ok stats frames=1 received=");

    ASSERT_TRUE(SendAll(client_.Get(), std::string("05\x01\\\xff", 5)));
    EXPECT_TRUE(sim_->Saw("FRAME 05\\x01\\\\\\xff"));
}

TEST_F(ZelmodsimControl, SilentAndLateModesAnswerOnlyAsTold)
{
    Start({"--reply-mode", "silent"});
    ASSERT_TRUE(SendAll(client_.Get(), "0511"));
    ASSERT_TRUE(sim_->Saw("FRAME 0511"));
    EXPECT_EQ(sim_->Command("reply late=20"), "ok reply late=20");
    ASSERT_TRUE(SendAll(client_.Get(), "0510"));
    // Only the second frame is answered, with the default reply.
    EXPECT_EQ(ReceiveBytes(client_.Get(), 2).Data, "OK");
    EXPECT_TRUE(sim_->Saw("SENT control OK"));
    EXPECT_EQ(ReceiveUpToMarker(), "");

    // A late reply goes with its connection.
    EXPECT_EQ(sim_->Command("reply late=600000"), "ok reply late=600000");
    ASSERT_TRUE(SendAll(client_.Get(), "0219600"));
    ASSERT_TRUE(sim_->Saw("FRAME 0219600"));
    client_.Reset();
    ASSERT_TRUE(sim_->Saw("DISCONNECTED control reason=peer"));
    Connect();
    EXPECT_EQ(ReceiveUpToMarker(), "");
}

TEST_F(ZelmodsimControl, ReportsGoToTheCurrentConnectionUntilItIsClosedOrReset)
{
    constexpr std::size_t kStatusRecordSize = 9;
    Start();
    EXPECT_EQ(sim_->Command("cts 1 1"), "ok");
    EXPECT_TRUE(sim_->Saw("SENT control CTS1 1"));
    EXPECT_EQ(ReceiveUpToMarker(), "CTS1 1");

    // Records end with the one asked for; the earlier says the opposite.
    EXPECT_EQ(sim_->Command("status 2 1 2"), "ok");
    const std::string records = ReceiveUpToMarker();
    ASSERT_EQ(records.size(), 2 * kStatusRecordSize);
    EXPECT_EQ(records.substr(0, kStatusRecordSize), "290002000");
    EXPECT_EQ(records.substr(kStatusRecordSize), "290002010");

    UniqueFd first = std::move(client_);
    Connect();
    EXPECT_TRUE(sim_->Saw("DISCONNECTED control reason=replaced"));
    EXPECT_EQ(ReceiveToEnd(first.Get()).End, StreamEnd::Eof);
    EXPECT_EQ(sim_->Command("cts 2 0"), "ok");
    EXPECT_EQ(ReceiveUpToMarker(), "CTS2 0");

    // close-control and reset-control end it; reports then need a new one.
    EXPECT_EQ(sim_->Command("close-control"), "ok");
    EXPECT_EQ(ReceiveToEnd(client_.Get()).End, StreamEnd::Eof);
    EXPECT_TRUE(sim_->Saw("DISCONNECTED control reason=close-control"));
    EXPECT_EQ(sim_->Command("status 1 1"), "error: no open control connection");

    Connect();
    EXPECT_EQ(sim_->Command("reset-control"), "ok");
    const auto received = ReceiveToEnd(client_.Get());
    EXPECT_EQ(received.End, StreamEnd::Error);
    EXPECT_EQ(received.Error, ECONNRESET);
}

}  // namespace
}  // namespace zel::test
