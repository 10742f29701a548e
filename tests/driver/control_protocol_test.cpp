// The module control protocol: the decimal formatter, the frame grammar, the
// reply wait, and frames of several ports of one module passing the one
// control send buffer whole.
#include "serial_fixture.h"

#include "core/devices.h"
#include "net/connection.h"
#include "net/module_control.h"
#include "support/loopback.h"

#include <array>
#include <map>
#include <sstream>

namespace zeltest {
namespace {

std::string Formatted(ULONG room, ULONG value, LONG minimum)
{
    std::array<UCHAR, 128> text{};
    text.fill('#');
    const ULONG written = FormatDecimal(text.data(), room, value, minimum);
    EXPECT_EQ(text[written], '#') << "no terminator, nothing beyond the digits";
    return std::string(reinterpret_cast<const char*>(text.data()), written);
}

// Zero writes nothing (a baud rate of 0 goes as "021"); what does not fit
// keeps its lowest digits; a minimum pads with zeros.
TEST(FormatDecimalTest, WritesTheDigitsMostSignificantFirst)
{
    EXPECT_EQ(Formatted(98, 9600, 0), "9600");
    EXPECT_EQ(Formatted(98, 4294967295u, 0), "4294967295");
    EXPECT_EQ(Formatted(98, 1, 0), "1");
    EXPECT_EQ(Formatted(98, 0, 0), "");
    EXPECT_EQ(Formatted(0, 123, 0), "");
    EXPECT_EQ(Formatted(2, 123, 0), "23");
    EXPECT_EQ(Formatted(5, 7, 3), "007");
    EXPECT_EQ(Formatted(5, 0, 2), "00");
}

// A control connection's buffer, as an open connection has it.
class FrameTest : public ::testing::Test {
protected:
    FrameTest()
    {
        buffer_.fill('#');
        connection_.SendBuffer = buffer_.data();
    }

    std::string Sent() const
    {
        EXPECT_EQ(buffer_[connection_.SendLength], '\0') << "a NUL follows the frame";
        return std::string(reinterpret_cast<const char*>(buffer_.data()), connection_.SendLength);
    }

    static SERIAL_LINE_CONTROL Line(UCHAR stopBits, UCHAR parity, UCHAR wordLength)
    {
        SERIAL_LINE_CONTROL line{};
        line.StopBits = stopBits;
        line.Parity = parity;
        line.WordLength = wordLength;
        return line;
    }

    std::array<UCHAR, CONNECTION_BUFFER_SIZE> buffer_{};
    ConnectionRecord connection_{};
};

// What the serial controls cannot send: the parity letters of every value,
// 1.5 stop bits, a word length or baud rate of 0, and no buffer at all.
TEST_F(FrameTest, OddValuesAndNoBuffer)
{
    const std::map<UCHAR, char> letters{{0, 'N'}, {1, 'O'}, {2, 'E'},  {3, 'M'},
                                        {4, 'S'}, {5, 'N'}, {255, 'N'}};
    for (const auto& [parity, letter] : letters) {
        ASSERT_TRUE(BuildFramingFrame(&connection_, 0, Line(STOP_BIT_1, parity, 8)));
        EXPECT_EQ(Sent(), std::string("0318") + letter + "1") << int(parity);
    }
    ASSERT_TRUE(BuildFramingFrame(&connection_, 7, Line(STOP_BITS_1_5, EVEN_PARITY, 7)));
    EXPECT_EQ(Sent(), "0387E2");
    ASSERT_TRUE(BuildFramingFrame(&connection_, 0, Line(STOP_BIT_1, NO_PARITY, 0)));
    EXPECT_EQ(Sent(), "031N1");
    ASSERT_TRUE(BuildBaudFrame(&connection_, 0, 0));
    EXPECT_EQ(Sent(), "021");

    ConnectionRecord closed{};
    EXPECT_FALSE(BuildBaudFrame(&closed, 0, 9600));
    EXPECT_FALSE(BuildFramingFrame(&closed, 0, Line(0, 0, 8)));
    EXPECT_FALSE(BuildRtsFrame(&closed, 0, true));
}

class ControlProtocolTest : public SerialTest {};

TEST_F(ControlProtocolTest, AModuleThatNeverRepliesStillGivesSuccess)
{
    StartModule({"echo"});
    ModuleCommand("reply silent");
    const ULONG baud = 4800;
    EXPECT_EQ(OutcomeOf(Set(IOCTL_SERIAL_SET_BAUD_RATE, baud)), Outcome(STATUS_SUCCESS, 0u));
    EXPECT_TRUE(module_->Saw("FRAME 0214800"));
    EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_BAUD_RATE), baud);
}

TEST_F(ControlProtocolTest, AModuleWhoseControlConnectionDroppedGetsTheFrameAfterAReconnect)
{
    StartModule({"echo"});
    // No reply to the frame: a reply still unread when the report comes
    // would share its receive, and a report is only recognised at the
    // start of one.
    ModuleCommand("reply silent");
    ModuleCommand("close-control");
    ASSERT_TRUE(module_->Saw("DISCONNECTED control reason=close-control"));
    // The control receive has ended; the next frame's send fails on the
    // dropped connection, reconnects and goes again.
    ASSERT_TRUE(Eventually([&] { return Observe(Module(0)->ControlConnection.Connected) == 0; }));
    EXPECT_EQ(Control(IOCTL_SERIAL_SET_RTS).Status, STATUS_SUCCESS);
    EXPECT_TRUE(module_->Saw("CONNECTED control"));
    EXPECT_TRUE(module_->Saw("FRAME 0511"));
    // The new connection has a receive again: reports arrive.
    ModuleCommand("cts 1 1");
    EXPECT_TRUE(Eventually([&] {
        return Get<ULONG>(IOCTL_SERIAL_GET_MODEMSTATUS) == SERIAL_MSR_CTS;
    })) << module_->Output();
}

// A control connection this side has half closed still has its receive
// posted and is still marked up: the frame's failed send replaces it, the
// new connection gets a receive of its own, and the old receive's end is
// not taken for the frame's reply.
TEST_F(ControlProtocolTest, AControlConnectionWhoseSendFailsIsReplacedWithItsOwnReceive)
{
    zel::test::ClosedPort control;
    control.Listen(2);
    zel::test::ClosedPort data;
    data.Listen();
    AddLoopbackModule(control.Port(), {data.Port()});
    host::File* com5 = nullptr;
    ASSERT_EQ(OpenPort(5, &com5), STATUS_SUCCESS);
    zel::UniqueFd control1 = control.Accept();
    ASSERT_TRUE(control1.Valid());
    ConnectionRecord* connection = &Module(0)->ControlConnection;
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10000000;
    ASSERT_EQ(TdiDisconnectRequest(&connection->Endpoint, TDI_DISCONNECT_RELEASE, &timeout),
              STATUS_SUCCESS);

    // The old connection's receive ends in the reconnect; its completion is
    // no reply to the frame, which this silent peer never answers.
    ModuleExtension* module = Module(0);
    AcquireModuleLock(module);
    ASSERT_TRUE(BuildRtsFrame(connection, 0, true));
    EXPECT_EQ(SendControlFrame(module), STATUS_TIMEOUT);
    ReleaseModuleLock(module);
    zel::UniqueFd control2 = control.Accept();
    ASSERT_TRUE(control2.Valid());
    EXPECT_EQ(zel::test::ReceiveBytes(control2.Get(), 4).Data, "0511");
    ASSERT_TRUE(zel::test::SendAll(control2.Get(), "CTS1 1"));
    EXPECT_TRUE(Eventually([&] { return Observe(Port(5)->ModemStatus) == ULONG{SERIAL_MSR_CTS}; }));
}

// A report's completion sets the reply event with no frame waiting; the
// next frame's wait is not ended by it.
TEST_F(ControlProtocolTest, AReportBeforeAFrameIsNotTakenForItsReply)
{
    StartModule({"echo"});
    ModuleCommand("reply silent");
    ModuleExtension* module = Module(0);
    ModuleCommand("cts 1 1");
    ASSERT_TRUE(Eventually([&] { return Observe(module->ReplyEvent.Header.SignalState) == 1; }));
    AcquireModuleLock(module);
    ASSERT_TRUE(BuildRtsFrame(&module->ControlConnection, 0, true));
    EXPECT_EQ(SendControlFrame(module), STATUS_TIMEOUT);
    ReleaseModuleLock(module);
}

// Two ports of one module set baud rates at the same time; every frame
// reaches the module whole, none overwritten by the other port's.
TEST_F(ControlProtocolTest, FramesOfTwoPortsOfOneModuleGoThroughWhole)
{
    StartModule({"echo", "echo"});
    constexpr int ROUNDS = 25;
    constexpr ULONG FIRST_BAUD = 100000;  // six digits: every frame is 9 characters
    auto setter = [&](unsigned channel, ULONG offset) {
        for (int round = 0; round < ROUNDS; ++round) {
            const ULONG baud = FIRST_BAUD + offset + static_cast<ULONG>(round);
            host::IoResult result = Set(IOCTL_SERIAL_SET_BAUD_RATE, baud, channel);
            EXPECT_EQ(result.Status, STATUS_SUCCESS);
        }
    };
    std::thread first(setter, 1u, 0u);
    std::thread second(setter, 2u, 500u);
    first.join();
    second.join();

    ASSERT_TRUE(Eventually([&] {
        return module_->Command("stats").rfind(
                   "ok stats frames=" + std::to_string(2 * ROUNDS) + " ", 0) == 0;
    }));
    for (int round = 0; round < ROUNDS; ++round) {
        const std::string one = "FRAME 021" + std::to_string(FIRST_BAUD + round);
        const std::string two = "FRAME 022" + std::to_string(FIRST_BAUD + 500 + round);
        EXPECT_EQ(module_->CountPrinted(one), 1) << one;
        EXPECT_EQ(module_->CountPrinted(two), 1) << two;
    }
}

}  // namespace
}  // namespace zeltest
