// The line settings that reach the module: the exact frames the baud-rate,
// line-control and RTS controls send, and a channel that keeps its line
// settings local.
#include "serial_fixture.h"

namespace zeltest {
namespace {

SERIAL_LINE_CONTROL Line(UCHAR stopBits, UCHAR parity, UCHAR wordLength)
{
    SERIAL_LINE_CONTROL line{};
    line.StopBits = stopBits;
    line.Parity = parity;
    line.WordLength = wordLength;
    return line;
}

class SerialFramesTest : public SerialTest {};

TEST_F(SerialFramesTest, EachSettingGoesAsItsFrameForItsChannel)
{
    StartModule({"echo", "echo"});
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, ULONG{9600}).Status, STATUS_SUCCESS);
    EXPECT_TRUE(module_->Saw("FRAME 0219600"));
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, ULONG{115200}, 2).Status, STATUS_SUCCESS);
    EXPECT_TRUE(module_->Saw("FRAME 022115200"));
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_LINE_CONTROL, Line(STOP_BIT_1, NO_PARITY, 8), 2).Status,
              STATUS_SUCCESS);
    EXPECT_TRUE(module_->Saw("FRAME 0328N1"));
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_LINE_CONTROL, Line(STOP_BITS_1_5, ODD_PARITY, 7)).Status,
              STATUS_SUCCESS);
    EXPECT_TRUE(module_->Saw("FRAME 0317O2"));
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_LINE_CONTROL, Line(STOP_BITS_2, MARK_PARITY, 5)).Status,
              STATUS_SUCCESS);
    EXPECT_TRUE(module_->Saw("FRAME 0315M2"));
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_LINE_CONTROL, Line(STOP_BIT_1, SPACE_PARITY, 6)).Status,
              STATUS_SUCCESS);
    EXPECT_TRUE(module_->Saw("FRAME 0316S1"));
    EXPECT_EQ(OutcomeOf(Control(IOCTL_SERIAL_SET_RTS)), Outcome(STATUS_SUCCESS, 0u));
    EXPECT_TRUE(module_->Saw("FRAME 0511"));
    EXPECT_EQ(Control(IOCTL_SERIAL_CLR_RTS, nullptr, 0, 0, 2).Status, STATUS_SUCCESS);
    EXPECT_TRUE(module_->Saw("FRAME 0520"));
}

}  // namespace
}  // namespace zeltest
