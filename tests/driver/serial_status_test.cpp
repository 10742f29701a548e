// Status controls: comm status mirrors the receive buffer, and purge ends a
// waiting read and, with SERIAL_PURGE_RXCLEAR, drops what was received.
#include "serial_fixture.h"

namespace zeltest {
namespace {

class SerialStatusTest : public SerialTest {
protected:
    host::IoResult Purge(ULONG flags, ULONG outputLength = 0)
    {
        return Control(IOCTL_SERIAL_PURGE, &flags, sizeof(flags), outputLength);
    }
};

TEST_F(SerialStatusTest, CommStatusReportsTheHeldBytes)
{
    StartModule({"echo"});
    ModuleCommand("send 1 abcdef");
    ASSERT_TRUE(WaitHeld(5, 6));
    SERIAL_STATUS status = Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS);
    EXPECT_EQ(status.AmountInInQueue, 6u);
    EXPECT_EQ(status.Errors, 0u);
    EXPECT_EQ(status.HoldReasons, 0u);
    ASSERT_EQ(Com().Read(4).Information, 4u);
    status = Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS);
    EXPECT_EQ(status.AmountInInQueue, 2u);
    EXPECT_EQ(status.AmountInOutQueue, 0u) << "bytes read are not waiting to go out";
}

TEST_F(SerialStatusTest, PurgeRxClearDropsTheReceivedBytes)
{
    StartModule({"echo"});
    ModuleCommand("send 1 stale");
    ASSERT_TRUE(WaitHeld(5, 5));
    Port(5)->CommStatus.AmountInOutQueue = 7;
    EXPECT_EQ(Purge(SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXABORT).Status, STATUS_SUCCESS);
    EXPECT_EQ(Port(5)->RxCount, 5u) << "only SERIAL_PURGE_RXCLEAR drops received bytes";
    EXPECT_EQ(Port(5)->CommStatus.AmountInOutQueue, 7u);
    host::IoResult purge = Purge(SERIAL_PURGE_RXCLEAR, sizeof(ULONG));
    EXPECT_EQ(OutcomeOf(purge), Outcome(STATUS_SUCCESS, 4u));
    EXPECT_EQ(Port(5)->RxCount, 0u);
    SERIAL_STATUS status = Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS);
    EXPECT_EQ(status.AmountInInQueue, 0u);
    EXPECT_EQ(status.AmountInOutQueue, 7u) << "a receive purge leaves the transmit side";
    host::IoResult read = Com().Read(5);
    EXPECT_EQ(read.Information, 0u);

    // Later bytes still arrive.
    ModuleCommand("send 1 fresh");
    ASSERT_TRUE(WaitHeld(5, 5));
    EXPECT_EQ(Text(Com().Read(5)), "fresh");
}

TEST_F(SerialStatusTest, PurgeEndsAWaitingReadWhateverTheFlags)
{
    StartModule({"echo"});
    SetReadTimeouts(5, 5000, 1);
    auto read = Com().StartRead(10);
    ASSERT_TRUE(Eventually([&] { return Observe(Port(5)->PendingRead) != nullptr; }));
    EXPECT_EQ(OutcomeOf(Purge(0)), Outcome(STATUS_SUCCESS, 0u))
        << "no more than the output buffer takes";
    const host::IoResult& result = Await(read);
    EXPECT_EQ(OutcomeOf(result), Outcome(STATUS_CANCELLED, 0u));
    EXPECT_EQ(Port(5)->PendingRead, nullptr);
}

// More than the receive buffer holds: the rest waits in the connection and
// holds the receive back. A purge drops it too, and the receive goes on.
TEST_F(SerialStatusTest, PurgeRxClearDropsOverflowAndResumesTheReceive)
{
    StartModule({"echo"});
    ModuleCommand("send 1 " + std::string(3000, 'o'));
    ASSERT_TRUE(WaitHeld(5, PORT_RX_BUFFER_SIZE - 1));
    ASSERT_EQ(Purge(SERIAL_PURGE_RXCLEAR).Status, STATUS_SUCCESS);
    EXPECT_EQ(Port(5)->DataConnection.UnreadCount, 0u);

    ModuleCommand("send 1 END");
    SetReadTimeouts(5, 50, 1);  // a read short of data gets what is held
    std::string tail;
    zel::test::Deadline deadline;
    while (tail.find("END") == std::string::npos && !deadline.Passed()) {
        tail += Text(Com().Read(PORT_RX_BUFFER_SIZE - 1));
    }
    ASSERT_NE(tail.find("END"), std::string::npos);
    EXPECT_LT(tail.size(), 3000u + 3u) << "the dropped bytes stay dropped";
}

}  // namespace
}  // namespace zeltest
