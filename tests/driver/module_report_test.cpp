// What a module reports on its control connection: CTS reports and status
// records reach the port's modem status, and wait for CTS events.
#include "serial_fixture.h"

namespace zeltest {
namespace {

class ModuleReportTest : public SerialTest {
protected:
    void SetUp() override
    {
        SerialTest::SetUp();
        StartModule({"echo", "echo"});
    }

    ULONG ModemStatus(unsigned channel = 1)
    {
        return Get<ULONG>(IOCTL_SERIAL_GET_MODEMSTATUS, channel);
    }

    bool ModemStatusBecomes(ULONG value, unsigned channel = 1)
    {
        return Eventually([&] { return ModemStatus(channel) == value; });
    }

    // Sends text whose length no earlier receive had, and waits until the
    // driver has handled it.
    void SendControlText(const std::string& text)
    {
        ModuleCommand("send-control " + text);
        ASSERT_TRUE(ControlReceived(static_cast<ULONG>(text.size()))) << text;
    }
};

TEST_F(ModuleReportTest, ACtsReportKeepsModemStatusCurrentWhateverTheMask)
{
    ModuleCommand("cts 1 1");
    ASSERT_TRUE(ModemStatusBecomes(SERIAL_MSR_CTS));
    EXPECT_EQ(ModemStatus(2), 0u) << "another channel's port";
    ModuleCommand("cts 1 0");
    ASSERT_TRUE(ModemStatusBecomes(0));
    ModuleCommand("cts 2 1");
    ASSERT_TRUE(ModemStatusBecomes(SERIAL_MSR_CTS, 2));
}

// The same report that sets the modem status decides about the wait.
TEST_F(ModuleReportTest, ACtsReportCompletesOnlyAWaitForCts)
{
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG{SERIAL_EV_RXFLAG}).Status, STATUS_SUCCESS);
    auto other = StartWait();
    ASSERT_TRUE(Eventually([&] { return Observe(Port(5)->WaitPending) == 1; }));
    ModuleCommand("cts 1 0");
    ModuleCommand("cts 1 1");
    ASSERT_TRUE(ModemStatusBecomes(SERIAL_MSR_CTS));
    EXPECT_FALSE(other->Done());
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG{SERIAL_EV_CTS}).Status, STATUS_SUCCESS);
    EXPECT_EQ(ValueOf<ULONG>(Await(other)), 0u);

    ModuleCommand("cts 1 0");
    ASSERT_TRUE(ModemStatusBecomes(0));
    auto wait = StartWait();
    ASSERT_TRUE(Eventually([&] { return Observe(Port(5)->WaitPending) == 1; }));
    ModuleCommand("cts 1 1");
    const host::IoResult& result = Await(wait);
    EXPECT_EQ(OutcomeOf(result), Outcome(STATUS_SUCCESS, 4u));
    EXPECT_EQ(ValueOf<ULONG>(result), static_cast<ULONG>(SERIAL_EV_CTS));
    EXPECT_EQ(ModemStatus(), static_cast<ULONG>(SERIAL_MSR_CTS));
    EXPECT_EQ(Port(5)->WaitPending, 0u);
}

TEST_F(ModuleReportTest, AStatusRecordReportsTheLevelAndTheLastOfTwoWins)
{
    ModuleCommand("status 1 1");  // 9 bytes
    ASSERT_TRUE(ModemStatusBecomes(SERIAL_MSR_CTS));
    ModuleCommand("status 1 0");
    ASSERT_TRUE(ModemStatusBecomes(0));
    // 18 bytes: the first record says on, the last off, and the reverse.
    ModuleCommand("cts 1 1");
    ASSERT_TRUE(ModemStatusBecomes(SERIAL_MSR_CTS));
    ModuleCommand("status 1 0 2");
    ASSERT_TRUE(ModemStatusBecomes(0));
    ModuleCommand("status 1 1 2");
    ASSERT_TRUE(ModemStatusBecomes(SERIAL_MSR_CTS));
}

// The control connection is a stream: a report shares a receive with a
// reply, or is cut across two receives.
TEST_F(ModuleReportTest, AReportIsFoundWhereverTheReceivesEnd)
{
    SendControlText("OKCTS1 1OK");
    EXPECT_EQ(ModemStatus(1), static_cast<ULONG>(SERIAL_MSR_CTS));
    SendControlText("CT");
    SendControlText("S2 1OK2900");
    EXPECT_EQ(ModemStatus(2), static_cast<ULONG>(SERIAL_MSR_CTS));
    SendControlText("01000");
    EXPECT_EQ(ModemStatus(1), 0u);
}

TEST_F(ModuleReportTest, ReportsForChannelsWithoutAPortAreIgnored)
{
    SendControlText("CTS0 1");     // channel index -1
    SendControlText("CTS9 1..");   // channel index 8
    SendControlText("CTS3 1...");  // no port on the third channel
    EXPECT_EQ(ModemStatus(1), 0u);
    EXPECT_EQ(ModemStatus(2), 0u);
}

}  // namespace
}  // namespace zeltest
