// The transport's event handlers: the peer's graceful close and its reset
// (with what happens to pending requests), and data that arrives with no
// receive posted, offered to the receive handler once and kept for the
// next receive when declined.
#include "tdi_fixture.h"

#include "../support/loopback.h"

#include <sys/socket.h>

namespace hosttest {
namespace {

using TdiEventsTest = TdiTest;

TEST_F(TdiEventsTest, ThePeersCloseEndsAPostedReceiveThenIsIndicatedAsRelease)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    std::atomic<int> order{0};
    events_->OrderWith(&order);
    LockedBuffer in(2048);
    TdiRequest receive(endpoint_);
    receive.OrderWith(&order);
    EXPECT_EQ(receive.Receive(in.Mdl(), in.Size()), STATUS_PENDING);
    peer_.Reset();
    EXPECT_EQ(receive.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(receive.Information(), 0u);
    ASSERT_EQ(events_->WaitForDisconnect(), STATUS_SUCCESS);
    const std::vector<TdiEvents::Disconnect> disconnects = events_->Disconnects();
    ASSERT_EQ(disconnects.size(), 1u);
    EXPECT_EQ(disconnects[0].Flags, static_cast<ULONG>(TDI_DISCONNECT_RELEASE));
    EXPECT_EQ(disconnects[0].Context, Context());
    EXPECT_EQ(disconnects[0].Irql, DISPATCH_LEVEL);
    EXPECT_NE(disconnects[0].Thread, std::this_thread::get_id());
    EXPECT_LT(receive.CompletionOrder(), disconnects[0].Order);
}

TEST_F(TdiEventsTest, AfterThePeersCloseTransfersAreRefused)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    peer_.Reset();
    ASSERT_EQ(events_->WaitForDisconnect(), STATUS_SUCCESS);
    LockedBuffer buffer(4);
    TdiRequest send(endpoint_);
    send.Send(buffer.Mdl(), buffer.Size(), 0);
    EXPECT_EQ(send.Wait(), STATUS_CONNECTION_INVALID);
    TdiRequest receive(endpoint_);
    receive.Receive(buffer.Mdl(), buffer.Size());
    EXPECT_EQ(receive.Wait(), STATUS_CONNECTION_INVALID);
}

// The peer's close leaves the connection half open: the endpoint takes a
// new connect only once the client has disconnected its side too.
TEST_F(TdiEventsTest, AnEndpointReconnectsAfterThePeerClosedAndTheClientDisconnected)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    peer_.Reset();
    ASSERT_EQ(events_->WaitForDisconnect(), STATUS_SUCCESS);
    TdiRequest early(endpoint_);
    early.Connect(listener_.Port(), nullptr);
    EXPECT_EQ(early.Wait(), STATUS_CONNECTION_ACTIVE);
    TdiRequest disconnect(endpoint_);
    disconnect.Disconnect(TDI_DISCONNECT_ABORT, nullptr);
    ASSERT_EQ(disconnect.Wait(), STATUS_SUCCESS);
    ASSERT_NO_FATAL_FAILURE(Connect());
    LockedBuffer out(3);
    out.Fill("new");
    TdiRequest send(endpoint_);
    send.Send(out.Mdl(), out.Size(), 0);
    ASSERT_EQ(send.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(zel::test::ReceiveBytes(peer_.Get(), 3).Data, "new");
}

TEST_F(TdiEventsTest, ThePeersCloseAfterOurReleaseIsIndicated)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    LockedBuffer in(2048);
    TdiRequest receive(endpoint_);
    EXPECT_EQ(receive.Receive(in.Mdl(), in.Size()), STATUS_PENDING);
    TdiRequest disconnect(endpoint_);
    disconnect.Disconnect(TDI_DISCONNECT_RELEASE, nullptr);
    ASSERT_EQ(disconnect.Wait(), STATUS_SUCCESS);
    // Half closed: the peer may still send, and the receive gets it.
    ASSERT_EQ(zel::test::ReceiveToEnd(peer_.Get()).End, zel::test::StreamEnd::Eof);
    ASSERT_TRUE(zel::test::SendAll(peer_.Get(), "bye"));
    ASSERT_EQ(receive.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(in.Text(receive.Information()), "bye");
    peer_.Reset();
    ASSERT_EQ(events_->WaitForDisconnect(), STATUS_SUCCESS);
    EXPECT_EQ(events_->Disconnects().at(0).Flags, static_cast<ULONG>(TDI_DISCONNECT_RELEASE));
}

TEST_F(TdiEventsTest, APeerResetFailsPendingRequestsThenIsIndicatedAsAbort)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    std::atomic<int> order{0};
    events_->OrderWith(&order);
    LockedBuffer in(2048);
    TdiRequest receive(endpoint_);
    receive.OrderWith(&order);
    EXPECT_EQ(receive.Receive(in.Mdl(), in.Size()), STATUS_PENDING);
    ResetConnection(peer_);
    EXPECT_EQ(receive.Wait(), STATUS_CONNECTION_RESET);
    ASSERT_EQ(events_->WaitForDisconnect(), STATUS_SUCCESS);
    const std::vector<TdiEvents::Disconnect> disconnects = events_->Disconnects();
    ASSERT_EQ(disconnects.size(), 1u);
    EXPECT_EQ(disconnects[0].Flags, static_cast<ULONG>(TDI_DISCONNECT_ABORT));
    EXPECT_EQ(disconnects[0].Irql, DISPATCH_LEVEL);
    EXPECT_LT(receive.CompletionOrder(), disconnects[0].Order);
    TdiRequest send(endpoint_);
    send.Send(in.Mdl(), 1, 0);
    EXPECT_EQ(send.Wait(), STATUS_CONNECTION_INVALID);
}

TEST_F(TdiEventsTest, DeclinedDataWaitsForTheNextReceive)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    ASSERT_TRUE(zel::test::SendAll(peer_.Get(), "early"));
    ASSERT_EQ(events_->WaitForReceive(), STATUS_SUCCESS);
    LockedBuffer in(2048);
    TdiRequest receive(endpoint_);
    receive.Receive(in.Mdl(), in.Size());
    ASSERT_EQ(receive.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(in.Text(receive.Information()), "early");
    // Offered once, not again and again while nobody took it.
    const std::vector<TdiEvents::Receive> offers = events_->Receives();
    ASSERT_EQ(offers.size(), 1u);
    EXPECT_EQ(offers[0].Data, "early");
    EXPECT_EQ(offers[0].Indicated, 5u);
    EXPECT_EQ(offers[0].Available, 5u);
    EXPECT_EQ(offers[0].Context, Context());
    EXPECT_NE(offers[0].Flags & TDI_RECEIVE_NORMAL, 0u);
    EXPECT_EQ(offers[0].Irql, DISPATCH_LEVEL);
    EXPECT_NE(offers[0].Thread, std::this_thread::get_id());
}

TEST_F(TdiEventsTest, DataLaterThanADeclinedOfferIsOfferedAgainAfterAReceive)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    ASSERT_TRUE(zel::test::SendAll(peer_.Get(), "one"));
    ASSERT_EQ(events_->WaitForReceive(), STATUS_SUCCESS);
    LockedBuffer in(2048);
    TdiRequest receive(endpoint_);
    receive.Receive(in.Mdl(), in.Size());
    ASSERT_EQ(receive.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(in.Text(receive.Information()), "one");
    ASSERT_TRUE(zel::test::SendAll(peer_.Get(), "two"));
    TdiRequest next(endpoint_);
    next.Receive(in.Mdl(), in.Size());
    ASSERT_EQ(next.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(in.Text(next.Information()), "two");
}

TEST_F(TdiEventsTest, BytesTheHandlerTakesLeaveTheStream)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    events_->TakeBytes(3);
    ASSERT_TRUE(zel::test::SendAll(peer_.Get(), "abcdef"));
    ASSERT_EQ(events_->WaitForReceive(), STATUS_SUCCESS);
    LockedBuffer in(2048);
    TdiRequest receive(endpoint_);
    receive.Receive(in.Mdl(), in.Size());
    ASSERT_EQ(receive.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(in.Text(receive.Information()), "def");
}

TEST_F(TdiEventsTest, AReceiveTheHandlerHandsBackGetsTheData)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    LockedBuffer in(2048);
    TdiRequest handedBack(endpoint_);
    events_->TakeBytes(1);
    events_->HandBack(&handedBack, in.Mdl(), in.Size());
    ASSERT_TRUE(zel::test::SendAll(peer_.Get(), "xyz"));
    ASSERT_EQ(handedBack.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(in.Text(handedBack.Information()), "yz");
}

using TdiEventsDeathTest = TdiEventsTest;

// Windows leaves an unwritten BytesTaken as whatever the stack held.
TEST_F(TdiEventsDeathTest, AReceiveHandlerMustSayHowManyBytesItTook)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            OpenAndConnect();
            events_->LeaveBytesTakenUnset();
            zel::test::SendAll(peer_.Get(), "x");
            events_->WaitForReceive();
        },
        "TDI receive event handler returned without setting BytesTaken");
}

}  // namespace
}  // namespace hosttest
