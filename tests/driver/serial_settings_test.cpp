// The serial I/O controls that store and return settings: their size
// checks, value checks, defaults, and the controls accepted without effect.
#include "serial_fixture.h"

#include <sstream>
#include <string>
#include <vector>

namespace zeltest {
namespace {

class SerialSettingsTest : public SerialTest {
protected:
    void SetUp() override
    {
        SerialTest::SetUp();
        StartModule({"echo"});
    }
};

// One size check serves every control: a few of each direction show it.
TEST_F(SerialSettingsTest, ABufferBelowItsSizeIsTooSmallAndChangesNothing)
{
    // Values that would change something were the size check not first.
    std::vector<std::uint8_t> input(32, 0x01);
    for (const auto& [code, length] :
         {std::pair<ULONG, ULONG>{IOCTL_SERIAL_SET_BAUD_RATE, sizeof(ULONG)},
          {IOCTL_SERIAL_SET_LINE_CONTROL, sizeof(SERIAL_LINE_CONTROL)},
          {IOCTL_SERIAL_SET_HANDFLOW, sizeof(SERIAL_HANDFLOW)}}) {
        EXPECT_EQ(OutcomeOf(Control(code, input.data(), length - 1, 64)),
                  Outcome(STATUS_BUFFER_TOO_SMALL, 0u))
            << std::hex << code;
    }
    for (const auto& [code, length] :
         {std::pair<ULONG, ULONG>{IOCTL_SERIAL_GET_TIMEOUTS, sizeof(SERIAL_TIMEOUTS)},
          {IOCTL_SERIAL_GET_COMMSTATUS, sizeof(SERIAL_STATUS)},
          {IOCTL_SERIAL_WAIT_ON_MASK, sizeof(ULONG)}}) {
        EXPECT_EQ(OutcomeOf(Control(code, input.data(), 32, length - 1)),
                  Outcome(STATUS_BUFFER_TOO_SMALL, 0u))
            << std::hex << code;
    }
    PortExtension* port = Port(5);
    EXPECT_EQ(port->BaudRate, 9600u);
    EXPECT_EQ(port->LineControl.WordLength, 8u);
    EXPECT_EQ(port->WaitPending, 0u);
    EXPECT_EQ(port->HandFlow.ControlHandShake, 0u);
    EXPECT_EQ(module_->CountPrinted("FRAME 021"), 0);
}

TEST_F(SerialSettingsTest, AFreshPortReportsItsDefaults)
{
    EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_BAUD_RATE), 9600u);
    // 8N1, which a program may write back as it read it.
    SERIAL_LINE_CONTROL line = Get<SERIAL_LINE_CONTROL>(IOCTL_SERIAL_GET_LINE_CONTROL);
    EXPECT_EQ(line.StopBits, STOP_BIT_1);
    EXPECT_EQ(line.Parity, NO_PARITY);
    EXPECT_EQ(line.WordLength, 8u);
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_LINE_CONTROL, line).Status, STATUS_SUCCESS);
    const SERIAL_TIMEOUTS timeouts = Get<SERIAL_TIMEOUTS>(IOCTL_SERIAL_GET_TIMEOUTS);
    const SERIAL_TIMEOUTS expected{10000000, 0, 0, 0, 10000000};
    EXPECT_EQ(std::memcmp(&timeouts, &expected, sizeof(expected)), 0);
    const SERIAL_HANDFLOW flow = Get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW);
    const SERIAL_HANDFLOW none{};
    EXPECT_EQ(std::memcmp(&flow, &none, sizeof(none)), 0);
    for (ULONG code : {ULONG(IOCTL_SERIAL_GET_WAIT_MASK), ULONG(IOCTL_SERIAL_GET_MODEMSTATUS),
                       ULONG(IOCTL_SERIAL_CONFIG_SIZE)}) {
        EXPECT_EQ(Get<ULONG>(code), 0u) << std::hex << code;
    }
}

TEST_F(SerialSettingsTest, LineSettingsNoUartCanTakeAreRefusedNeitherStoredNorSent)
{
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, ULONG{19200}).Status, STATUS_SUCCESS);
    SERIAL_LINE_CONTROL line{};
    line.StopBits = STOP_BIT_1;
    line.Parity = EVEN_PARITY;
    line.WordLength = 7;
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_LINE_CONTROL, line).Status, STATUS_SUCCESS);

    EXPECT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, ULONG{0}).Status, STATUS_INVALID_PARAMETER);
    // Each just outside its range.
    const SERIAL_LINE_CONTROL refused[] = {{STOP_BIT_1, NO_PARITY, 4},
                                           {STOP_BIT_1, NO_PARITY, 9},
                                           {STOP_BIT_1, SPACE_PARITY + 1, 8},
                                           {STOP_BITS_2 + 1, NO_PARITY, 8}};
    for (const SERIAL_LINE_CONTROL& bad : refused) {
        EXPECT_EQ(Set(IOCTL_SERIAL_SET_LINE_CONTROL, bad).Status, STATUS_INVALID_PARAMETER)
            << int{bad.StopBits} << " " << int{bad.Parity} << " " << int{bad.WordLength};
    }

    EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_BAUD_RATE), 19200u);
    const SERIAL_LINE_CONTROL back = Get<SERIAL_LINE_CONTROL>(IOCTL_SERIAL_GET_LINE_CONTROL);
    EXPECT_EQ(back.StopBits, line.StopBits);
    EXPECT_EQ(back.Parity, line.Parity);
    EXPECT_EQ(back.WordLength, line.WordLength);
    // Frames go out one at a time, in order: once the RTS frame is seen,
    // any frame sent before it has been seen too.
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_RTS).Status, STATUS_SUCCESS);
    ASSERT_TRUE(module_->Saw("FRAME 0511"));
    std::istringstream printed(module_->Output());
    std::vector<std::string> frames;
    for (std::string text; std::getline(printed, text);) {
        if (text.rfind("FRAME ", 0) == 0)
            frames.push_back(text);
    }
    EXPECT_EQ(frames, (std::vector<std::string>{"FRAME 02119200", "FRAME 0317E1", "FRAME 0511"}));
}

TEST_F(SerialSettingsTest, TimeoutsRefuseOnlyAllThreeReadTimeoutsInfinite)
{
    SERIAL_TIMEOUTS infinite{MAXULONG, MAXULONG, MAXULONG, 1, 2};
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_TIMEOUTS, infinite).Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Get<SERIAL_TIMEOUTS>(IOCTL_SERIAL_GET_TIMEOUTS).WriteTotalTimeoutMultiplier, 0u);

    SERIAL_TIMEOUTS interval{MAXULONG, 0, 0, 3, 4};
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_TIMEOUTS, interval).Status, STATUS_SUCCESS);
    SERIAL_TIMEOUTS back = Get<SERIAL_TIMEOUTS>(IOCTL_SERIAL_GET_TIMEOUTS);
    EXPECT_EQ(back.ReadIntervalTimeout, MAXULONG);
    EXPECT_EQ(back.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(back.WriteTotalTimeoutMultiplier, 3u);
    EXPECT_EQ(back.WriteTotalTimeoutConstant, 4u);
}

TEST_F(SerialSettingsTest, HandFlowChecksBitsThenIgnoresLimitsOutOfRange)
{
    SERIAL_HANDFLOW good{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 100, 200};
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_HANDFLOW, good).Status, STATUS_SUCCESS);

    const SERIAL_HANDFLOW refused[] = {
        {SERIAL_DTR_MASK, 0, 1, 1},          // both DTR bits
        {0x00000004, 0, 1, 1},               // a control bit no handshake has
        {0, 0x00000020, 1, 1},               // a flow bit no handshake has
        {0x80000000 | 0x00000080, 0, 1, 1},  // invalid control bit next to a valid one
    };
    for (const SERIAL_HANDFLOW& flow : refused) {
        EXPECT_EQ(Set(IOCTL_SERIAL_SET_HANDFLOW, flow).Status, STATUS_INVALID_PARAMETER)
            << std::hex << flow.ControlHandShake << " " << flow.FlowReplace;
    }
    for (const SERIAL_HANDFLOW& flow :
         {SERIAL_HANDFLOW{0, 0, 4096, 1}, SERIAL_HANDFLOW{0, 0, -1, 1},
          SERIAL_HANDFLOW{0, 0, 1, 2049}, SERIAL_HANDFLOW{0, 0, 1, -5}}) {
        EXPECT_EQ(Set(IOCTL_SERIAL_SET_HANDFLOW, flow).Status, STATUS_SUCCESS);
    }
    const SERIAL_HANDFLOW back = Get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW);
    EXPECT_EQ(std::memcmp(&back, &good, sizeof(good)), 0);

    SERIAL_HANDFLOW edge{0, 0, 2048, 0};
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_HANDFLOW, edge).Status, STATUS_SUCCESS);
    EXPECT_EQ(Get<SERIAL_HANDFLOW>(IOCTL_SERIAL_GET_HANDFLOW).XonLimit, 2048);
}

TEST_F(SerialSettingsTest, SpecialCharactersAreStoredAndReturned)
{
    SERIAL_CHARS chars{'\x1a', '?', '!', '\n', '\x11', '\x13'};
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_CHARS, chars).Status, STATUS_SUCCESS);
    SERIAL_CHARS back = Get<SERIAL_CHARS>(IOCTL_SERIAL_GET_CHARS);
    EXPECT_EQ(std::memcmp(&back, &chars, sizeof(chars)), 0);
}

TEST_F(SerialSettingsTest, WaitMaskRefusesBitsAboveTheEvents)
{
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG{0x2000}).Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Port(5)->WaitMask, 0u);
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG{0x1FFF}).Status, STATUS_SUCCESS);
    EXPECT_EQ(Port(5)->WaitMask, 0x1FFFu);
}

TEST_F(SerialSettingsTest, ControlsWithoutEffectSucceedAndUnknownOnesAreRefused)
{
    // Some of each kind: line controls, modem lines, statistics, the
    // serial enumerator's.
    for (ULONG code : {ULONG(IOCTL_SERIAL_SET_BREAK_ON), ULONG(IOCTL_SERIAL_SET_DTR),
                       ULONG(IOCTL_SERIAL_GET_PROPERTIES), ULONG(IOCTL_SERIAL_GET_STATS),
                       ULONG(IOCTL_SERIAL_SET_FIFO_CONTROL), ULONG(0x0037020C)}) {
        EXPECT_EQ(OutcomeOf(Control(code, nullptr, 0, 64)), Outcome(STATUS_SUCCESS, 0u))
            << std::hex << code;
    }
    for (ULONG code : {0x001B00A0u, 0x00370210u, 0x11708004u, 0x001B0000u}) {
        EXPECT_EQ(OutcomeOf(Control(code, nullptr, 0, 64)), Outcome(STATUS_INVALID_PARAMETER, 0u))
            << std::hex << code;
    }
    const ULONG queueSizes[2] = {4096, 4096};
    EXPECT_EQ(OutcomeOf(Control(IOCTL_SERIAL_SET_QUEUE_SIZE, queueSizes, sizeof(queueSizes))),
              Outcome(STATUS_SUCCESS, 0u));
}

}  // namespace
}  // namespace zeltest
