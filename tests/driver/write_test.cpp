// Port writes: sent whole up to 2047 bytes, nothing for an empty write, and
// a write that meets a dropped data connection reconnects, restarts the
// receive, replays the line settings and resends, reporting the resend.
#include "serial_fixture.h"

#include "core/devices.h"
#include "support/loopback.h"

#include <sstream>

namespace zeltest {
namespace {

// A far end of the test's own, for what zelmodsim cannot play: connections
// are accepted when the test says so, and reset.
class Listener : public zel::test::ClosedPort {
public:
    Listener() { Listen(kPendingConnections); }

private:
    static constexpr int kPendingConnections = 4;
};

class WriteTest : public SerialTest {
protected:
    // These tests are of the write's own reconnect: a drop leaves the port
    // down until a write, with no background attempt.
    void HoldOffBackgroundReconnect() { InterlockedExchange(&Port(5)->ReconnectStopped, 1); }

    bool DataConnected(ULONG connected)
    {
        return Eventually([&] { return Observe(Port(5)->DataConnection.Connected) == connected; });
    }

    std::string Stats() { return module_->Command("stats"); }

    // Every frame the module read, in order; frames that went back to back
    // may have been read as one.
    std::string Frames()
    {
        std::istringstream printed(module_->Output());
        std::string frames;
        for (std::string line; std::getline(printed, line);) {
            if (line.rfind("FRAME ", 0) == 0) {
                frames += line.substr(6);
            }
        }
        return frames;
    }
};

TEST_F(WriteTest, AWriteIsSentAndCompletesWithItsLength)
{
    StartModule({"echo"});
    host::IoResult write = Com().Write("0123456789", 10);
    EXPECT_EQ(OutcomeOf(write), Outcome(STATUS_SUCCESS, 10u));
    EXPECT_EQ(Port(5)->CommStatus.AmountInOutQueue, 0u);
    ASSERT_TRUE(WaitHeld(5, 10));
    EXPECT_EQ(Text(Com().Read(10)), "0123456789");

    // An empty write sends nothing.
    EXPECT_EQ(OutcomeOf(Com().Write("", 0)), Outcome(STATUS_SUCCESS, 0u));
    ASSERT_EQ(Com().Write("x", 1).Status, STATUS_SUCCESS);
    ASSERT_TRUE(WaitHeld(5, 1));
    EXPECT_EQ(Stats().rfind("ok stats frames=0 received=11", 0), 0u) << Stats();
}

TEST_F(WriteTest, AWriteIsCutTo2047Bytes)
{
    StartModule({"sink"});
    std::string big(3000, 'w');
    host::IoResult write = Com().Write(big.data(), static_cast<ULONG>(big.size()));
    EXPECT_EQ(OutcomeOf(write), Outcome(STATUS_SUCCESS, 2047u));
    EXPECT_TRUE(
        Eventually([&] { return Stats().rfind("ok stats frames=0 received=2047", 0) == 0; }));
    // A second write shows nothing more of the first went.
    ASSERT_EQ(Com().Write("!", 1).Status, STATUS_SUCCESS);
    EXPECT_TRUE(
        Eventually([&] { return Stats().rfind("ok stats frames=0 received=2048", 0) == 0; }));
}

TEST_F(WriteTest, AWriteAfterTheModuleDroppedBothConnectionsReconnectsAndReplaysTheSettings)
{
    StartModule({"echo"});
    HoldOffBackgroundReconnect();
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, ULONG{19200}).Status, STATUS_SUCCESS);
    SERIAL_LINE_CONTROL line{};
    line.WordLength = 8;
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_LINE_CONTROL, line).Status, STATUS_SUCCESS);
    ASSERT_TRUE(module_->Saw("FRAME 0318N1"));
    // RTS low, as a program driving an RS-485 transceiver leaves it.
    ASSERT_EQ(Control(IOCTL_SERIAL_CLR_RTS).Status, STATUS_SUCCESS);
    ASSERT_TRUE(module_->Saw("FRAME 0510"));

    ModuleCommand("close-control");
    ASSERT_TRUE(module_->Saw("DISCONNECTED control reason=close-control"));
    ModuleCommand("close 1");
    ASSERT_TRUE(module_->Saw("DISCONNECTED channel=1 reason=close"));
    ASSERT_TRUE(DataConnected(0));
    ASSERT_TRUE(WaitReceiveIdle(5));

    EXPECT_EQ(OutcomeOf(Com().Write("hello", 5)), Outcome(STATUS_SUCCESS, 5u));

    // The data connection, then the control connection.
    EXPECT_TRUE(module_->Saw("CONNECTED channel=1"));
    EXPECT_TRUE(module_->Saw("CONNECTED control"));
    // Then the settings and RTS on, in this order. They go back to back
    // without waiting for replies, so the module may read them as one.
    // The replay keeps the program's RTS level.
    EXPECT_TRUE(Eventually([&] { return Frames() == "021192000318N10510021192000318N10510"; }))
        << Frames();
    // The receive runs again: the echo comes back.
    EXPECT_EQ(Port(5)->CommStatus.AmountInOutQueue, 0u);
    ASSERT_TRUE(WaitHeld(5, 5));
    EXPECT_EQ(Text(Com().Read(5)), "hello");
}

TEST_F(WriteTest, AChannelWithSerialParaFlagGetsOnlyRtsFramesEvenAfterAReconnect)
{
    StartModule({"echo"}, true, {1});
    HoldOffBackgroundReconnect();
    // Its settings are kept for the program but never sent.
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, ULONG{19200}).Status, STATUS_SUCCESS);
    SERIAL_LINE_CONTROL line{STOP_BIT_1, EVEN_PARITY, 8};
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_LINE_CONTROL, line).Status, STATUS_SUCCESS);
    EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_BAUD_RATE), 19200u);
    EXPECT_EQ(Get<SERIAL_LINE_CONTROL>(IOCTL_SERIAL_GET_LINE_CONTROL).Parity, EVEN_PARITY);
    ModuleCommand("close 1");
    ASSERT_TRUE(module_->Saw("DISCONNECTED channel=1 reason=close"));
    ASSERT_TRUE(DataConnected(0));
    ASSERT_TRUE(WaitReceiveIdle(5));

    ASSERT_EQ(Com().Write("abc", 3).Status, STATUS_SUCCESS);
    EXPECT_TRUE(module_->Saw("CONNECTED channel=1"));
    ASSERT_TRUE(WaitHeld(5, 3));
    // The control connection was taken down and up again, but no frame
    // went: frames go one at a time, so once RTS is seen any before it is.
    EXPECT_EQ(Control(IOCTL_SERIAL_SET_RTS).Status, STATUS_SUCCESS);
    ASSERT_TRUE(module_->Saw("FRAME 0511"));
    EXPECT_EQ(module_->CountPrinted("FRAME 02119200"), 0);
    EXPECT_EQ(module_->CountPrinted("FRAME 0318E1"), 0);
    EXPECT_EQ(module_->CountPrinted("FRAME 0511"), 1);
}

// The module dropped the connection, yet it is still marked up (as a late
// connect result once stored over the disconnect left it): the failed send
// itself shows it down, and the write reconnects.
TEST_F(WriteTest, AWriteOnAConnectionWronglyMarkedUpReconnects)
{
    StartModule({"echo"});
    HoldOffBackgroundReconnect();
    ModuleCommand("reset 1");
    ASSERT_TRUE(module_->Saw("DISCONNECTED channel=1 reason=reset"));
    ASSERT_TRUE(DataConnected(0));
    ASSERT_TRUE(WaitReceiveIdle(5));
    Port(5)->DataConnection.Connected = TRUE;

    host::IoResult write = Com().Write("again", 5);
    EXPECT_EQ(write.Status, STATUS_SUCCESS);
    ASSERT_TRUE(WaitHeld(5, 5));
    EXPECT_EQ(Text(Com().Read(5)), "again");
}

TEST_F(WriteTest, AWriteWhoseResendFailsReportsTheFailureAndNothingWritten)
{
    Listener control;
    Listener data;
    AddLoopbackModule(control.Port(), {data.Port()});
    host::File* com5 = nullptr;
    ASSERT_EQ(OpenPort(5, &com5), STATUS_SUCCESS);
    HoldOffBackgroundReconnect();
    zel::UniqueFd control1 = control.Accept();
    zel::UniqueFd data1 = data.Accept();
    ASSERT_TRUE(control1.Valid() && data1.Valid());

    zel::test::ResetConnection(data1);
    ASSERT_TRUE(DataConnected(0));
    ASSERT_TRUE(WaitReceiveIdle(5));

    // The write runs in the caller's thread until it is done. The module's
    // lock held here stops it at the settings replay, after the reconnect.
    AcquireModuleLock(Module(0));
    host::IoResult result;
    std::thread writer([&] { result = com5->Write("lost", 4); });
    // The reconnect succeeds, then the new connection is reset before the resend.
    zel::UniqueFd data2 = data.Accept();
    EXPECT_TRUE(data2.Valid());
    EXPECT_TRUE(DataConnected(1));
    zel::test::ResetConnection(data2);
    EXPECT_TRUE(DataConnected(0));
    ReleaseModuleLock(Module(0));

    writer.join();
    // The healthy control connection carried the replay; it was not replaced.
    EXPECT_EQ(zel::test::ReceiveBytes(control1.Get(), 17).Data,
              "0219600"
              "0318N1"
              "0511");
    EXPECT_FALSE(NT_SUCCESS(result.Status)) << std::hex << result.Status;
    EXPECT_EQ(result.Information, 0u) << "none of the write went";
    EXPECT_EQ(Port(5)->CommStatus.AmountInOutQueue, 0u);
}

TEST_F(WriteTest, AWriteWhoseReconnectFailsReportsTheFailureAndNothingWritten)
{
    module_ = std::make_unique<ModuleSimulator>(std::vector<std::string>{"echo"});
    Listener data;
    AddLoopbackModule(module_->ControlPort(), {data.Port()});
    host::File* com5 = nullptr;
    ASSERT_EQ(OpenPort(5, &com5), STATUS_SUCCESS);
    HoldOffBackgroundReconnect();
    // The module's line for the open's control connection, before counting.
    ASSERT_TRUE(module_->Saw("CONNECTED control"));
    zel::UniqueFd data1 = data.Accept();
    ASSERT_TRUE(data1.Valid());
    data.Close();
    zel::test::ResetConnection(data1);
    ASSERT_TRUE(DataConnected(0));
    ASSERT_TRUE(WaitReceiveIdle(5));

    host::IoResult write = com5->Write("abcdef", 6);
    EXPECT_FALSE(NT_SUCCESS(write.Status)) << std::hex << write.Status;
    EXPECT_EQ(write.Information, 0u) << "none of the write went";
    EXPECT_EQ(Port(5)->CommStatus.AmountInOutQueue, 0u);
    // Nothing was replayed: the control connection saw no reconnect.
    EXPECT_EQ(module_->CountPrinted("CONNECTED control"), 1);
}

// A module that stops reading: once the connection holds all it can, a
// write's send runs out of time; the write reports the bytes that went, and
// the stream carries exactly those.
TEST_F(WriteTest, AWriteTheModuleTakesOnlyPartOfReportsWhatWent)
{
    constexpr int kSmallReceiveBuffer = 16 * 1024;
    // Far more than any socket buffers hold.
    constexpr std::size_t kMostWritten = 256u * 1024 * 1024;
    module_ = std::make_unique<ModuleSimulator>(std::vector<std::string>{"echo"});
    Listener data;
    data.LimitReceiveBuffer(kSmallReceiveBuffer);
    AddLoopbackModule(module_->ControlPort(), {data.Port()});
    host::File* com5 = nullptr;
    ASSERT_EQ(OpenPort(5, &com5), STATUS_SUCCESS);
    zel::UniqueFd far = data.Accept();
    ASSERT_TRUE(far.Valid());

    std::string block(2047, '\0');
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>(i % 251);
    // Until a send runs out of time: the driver's own record of it then
    // shows less than the block.
    const IO_STATUS_BLOCK& lastSend = Port(5)->DataConnection.SendStatus;
    std::size_t reported = 0;
    host::IoResult write;
    do {
        write = com5->Write(block.data(), static_cast<ULONG>(block.size()));
        ASSERT_TRUE(NT_SUCCESS(write.Status)) << std::hex << write.Status;
        ASSERT_LE(write.Information, block.size());
        reported += write.Information;
    } while (Observe(lastSend.Information) == block.size() && reported < kMostWritten);
    EXPECT_LT(Observe(lastSend.Information), block.size());
    EXPECT_EQ(OutcomeOf(write), Outcome(STATUS_TIMEOUT, Observe(lastSend.Information)));
    EXPECT_EQ(Port(5)->CommStatus.AmountInOutQueue, 0u);

    // The rest of the block goes next, and the stream is whole.
    const std::string rest = block.substr(write.Information);
    zel::test::Received received;
    std::thread reader(
        [&] { received = zel::test::ReceiveBytes(far.Get(), reported + rest.size()); });
    const host::IoResult again = com5->Write(rest.data(), static_cast<ULONG>(rest.size()));
    reader.join();
    EXPECT_EQ(OutcomeOf(again), Outcome(STATUS_SUCCESS, rest.size()));
    ASSERT_EQ(received.Data.size(), reported + rest.size());
    for (std::size_t at = 0; at < received.Data.size(); at += block.size()) {
        ASSERT_EQ(received.Data.compare(at, block.size(), block), 0) << "at byte " << at;
    }
}

TEST_F(WriteTest, WritesOfOnePortFromTwoThreadsArriveWhole)
{
    module_ = std::make_unique<ModuleSimulator>(std::vector<std::string>{"echo"});
    Listener data;
    AddLoopbackModule(module_->ControlPort(), {data.Port()});
    host::File* com5 = nullptr;
    ASSERT_EQ(OpenPort(5, &com5), STATUS_SUCCESS);
    zel::UniqueFd far = data.Accept();
    ASSERT_TRUE(far.Valid());

    constexpr int ROUNDS = 30;
    const std::string first(1000, 'a');
    const std::string second(1500, 'b');
    auto writer = [&](const std::string& bytes) {
        for (int round = 0; round < ROUNDS; ++round) {
            EXPECT_EQ(OutcomeOf(com5->Write(bytes.data(), static_cast<ULONG>(bytes.size()))),
                      Outcome(STATUS_SUCCESS, bytes.size()));
        }
    };
    std::thread one(writer, std::cref(first));
    std::thread two(writer, std::cref(second));
    const std::size_t total = ROUNDS * (first.size() + second.size());
    zel::test::Received received = zel::test::ReceiveBytes(far.Get(), total);
    one.join();
    two.join();

    // The stream is whole writes one after the other, none cut into by the other.
    const std::string& stream = received.Data;
    ASSERT_EQ(stream.size(), total);
    int firsts = 0;
    int seconds = 0;
    for (std::size_t at = 0; at < stream.size();) {
        const std::string& block = stream[at] == 'a' ? first : second;
        ASSERT_EQ(stream.compare(at, block.size(), block), 0) << "at byte " << at;
        (stream[at] == 'a' ? firsts : seconds) += 1;
        at += block.size();
    }
    EXPECT_EQ(firsts, ROUNDS);
    EXPECT_EQ(seconds, ROUNDS);
}

}  // namespace
}  // namespace zeltest
