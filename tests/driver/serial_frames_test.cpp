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
    host::IoResult on = Control(IOCTL_SERIAL_SET_RTS);
    EXPECT_EQ(on.Status, STATUS_SUCCESS);
    EXPECT_EQ(on.Information, 0u);
    EXPECT_TRUE(module_->Saw("FRAME 0511"));
    EXPECT_EQ(Control(IOCTL_SERIAL_CLR_RTS, nullptr, 0, 0, 2).Status, STATUS_SUCCESS);
    EXPECT_TRUE(module_->Saw("FRAME 0520"));
}

TEST_F(SerialFramesTest, AChannelWithSerialParaFlagGetsOnlyRtsFrames)
{
    StartModule({"echo"}, true, {1});
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, ULONG{19200}).Status, STATUS_SUCCESS);
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_LINE_CONTROL, Line(STOP_BIT_1, EVEN_PARITY, 8)).Status,
              STATUS_SUCCESS);
    // Frames go out one at a time, in order: once the RTS frame is seen, a
    // baud or framing frame sent before it would have been seen too.
    EXPECT_EQ(Control(IOCTL_SERIAL_SET_RTS).Status, STATUS_SUCCESS);
    ASSERT_TRUE(module_->Saw("FRAME 0511"));
    EXPECT_EQ(module_->CountPrinted("FRAME 02119200"), 0);
    EXPECT_EQ(module_->CountPrinted("FRAME 0318E1"), 0);
    EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_GET_BAUD_RATE), 19200u);
    EXPECT_EQ(Get<SERIAL_LINE_CONTROL>(IOCTL_SERIAL_GET_LINE_CONTROL).Parity, EVEN_PARITY);
}

}  // namespace
}  // namespace zeltest
