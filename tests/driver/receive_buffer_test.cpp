// The port's receive buffer on its own: what fits is held, the rest stays
// unread in the data connection's buffer and moves in as room allows.
#include "port/port_read.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace zeltest {
namespace {

class ReceiveBufferTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::memset(&port_, 0, sizeof(port_));
        port_.RxBuffer = rx_.data();
        port_.DataConnection.ReceiveBuffer = received_.data();
        for (std::size_t i = 0; i < received_.size(); ++i) {
            received_[i] = static_cast<UCHAR>(i * 7);
        }
    }

    PortExtension port_;
    std::vector<UCHAR> rx_ = std::vector<UCHAR>(PORT_RX_BUFFER_SIZE, 0xEE);
    std::vector<UCHAR> received_ = std::vector<UCHAR>(CONNECTION_BUFFER_SIZE + 1, 0);
};

TEST_F(ReceiveBufferTest, AnArrivalThatFitsIsHeldWhole)
{
    TakeArrival(&port_, 100);
    EXPECT_EQ(port_.RxCount, 100u);
    EXPECT_EQ(port_.CommStatus.AmountInInQueue, 100u);
    EXPECT_EQ(port_.DataConnection.UnreadCount, 0u);
    EXPECT_EQ(std::memcmp(rx_.data(), received_.data(), 100), 0);
    EXPECT_EQ(TakeUnread(&port_), 0u);
}

TEST_F(ReceiveBufferTest, UnreadBytesMoveInAsRoomAllows)
{
    SetRxCount(&port_, 2000);
    TakeArrival(&port_, 100);  // 47 fit, 53 wait
    EXPECT_EQ(port_.RxCount, PORT_RX_LIMIT);
    EXPECT_EQ(port_.DataConnection.UnreadCount, 53u);
    EXPECT_EQ(port_.DataConnection.UnreadOffset, 47u);

    SetRxCount(&port_, PORT_RX_LIMIT - 50);  // room for 50 of them
    EXPECT_EQ(TakeUnread(&port_), 50u);
    EXPECT_EQ(port_.RxCount, PORT_RX_LIMIT);
    EXPECT_EQ(port_.DataConnection.UnreadCount, 3u);
    EXPECT_EQ(std::memcmp(rx_.data() + PORT_RX_LIMIT - 50, received_.data() + 47, 50), 0);

    SetRxCount(&port_, 0);
    EXPECT_EQ(TakeUnread(&port_), 3u);
    EXPECT_EQ(port_.RxCount, 3u);
    EXPECT_EQ(port_.DataConnection.UnreadCount, 0u);
    EXPECT_EQ(std::memcmp(rx_.data(), received_.data() + 97, 3), 0);
}

// A whole receive into a full buffer is one byte more than the buffer
// holds: it must still get in, over two reads, or the port stops for good.
TEST_F(ReceiveBufferTest, AWholeReceiveIntoAFullBufferGetsInOverTwoReads)
{
    SetRxCount(&port_, PORT_RX_LIMIT);
    TakeArrival(&port_, CONNECTION_BUFFER_SIZE);
    EXPECT_EQ(port_.DataConnection.UnreadCount, CONNECTION_BUFFER_SIZE);

    SetRxCount(&port_, 0);
    EXPECT_EQ(TakeUnread(&port_), PORT_RX_LIMIT);
    EXPECT_EQ(port_.DataConnection.UnreadCount, 1u);
    SetRxCount(&port_, 0);
    EXPECT_EQ(TakeUnread(&port_), 1u);
    EXPECT_EQ(port_.DataConnection.UnreadCount, 0u);
    EXPECT_EQ(port_.RxBuffer[0], received_[PORT_RX_LIMIT]);
}

TEST_F(ReceiveBufferTest, AnArrivalIntoAFullBufferWaitsWholeUntilDiscarded)
{
    SetRxCount(&port_, PORT_RX_LIMIT);
    TakeArrival(&port_, 10);
    EXPECT_EQ(port_.RxCount, PORT_RX_LIMIT);
    EXPECT_EQ(port_.DataConnection.UnreadCount, 10u);
    EXPECT_EQ(port_.DataConnection.UnreadOffset, 0u);
    DiscardReceived(&port_);
    EXPECT_EQ(port_.RxCount, 0u);
    EXPECT_EQ(port_.CommStatus.AmountInInQueue, 0u);
    EXPECT_EQ(port_.DataConnection.UnreadCount, 0u);
    EXPECT_EQ(TakeUnread(&port_), 0u);
}

}  // namespace
}  // namespace zeltest
