// TDI_CONNECT and TDI_DISCONNECT against loopback peers: success, refusal,
// the transport's own timeout, cancellation, and the state a connection
// must be in for each.
#include "tdi_fixture.h"

#include "../support/loopback.h"

#include <sys/socket.h>

namespace hosttest {
namespace {

using TdiConnectTest = TdiTest;

constexpr LONGLONG kShortTimeoutMs = 100;

TEST_F(TdiConnectTest, ConnectsToAListeningPeer)
{
    ASSERT_NO_FATAL_FAILURE(OpenObjects());
    const LARGE_INTEGER timeout = RelativeMilliseconds(zel::test::kSafetyTimeout.count());
    TdiRequest connect(endpoint_);
    const NTSTATUS called = connect.Connect(listener_.Port(), &timeout);
    EXPECT_TRUE(called == STATUS_PENDING || called == STATUS_SUCCESS);
    ASSERT_EQ(connect.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(connect.Information(), 0u);
    zel::UniqueFd peer = listener_.Accept();
    ASSERT_TRUE(peer.Valid());
    // The connection carries data at once.
    ASSERT_TRUE(zel::test::SendAll(peer.Get(), "x"));
    LockedBuffer buffer(1);
    TdiRequest receive(endpoint_);
    receive.Receive(buffer.Mdl(), buffer.Size());
    EXPECT_EQ(receive.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(buffer.Text(1), "x");
}

TEST_F(TdiConnectTest, APortNobodyListensOnRefuses)
{
    ASSERT_NO_FATAL_FAILURE(OpenObjects());
    ClosedPort closed;
    TdiRequest connect(endpoint_);
    connect.Connect(closed.Port(), nullptr);
    EXPECT_EQ(connect.Wait(), STATUS_CONNECTION_REFUSED);
    // The endpoint is free for another attempt.
    TdiRequest again(endpoint_);
    again.Connect(listener_.Port(), nullptr);
    EXPECT_EQ(again.Wait(), STATUS_SUCCESS);
}

TEST_F(TdiConnectTest, AnUnansweredConnectTimesOut)
{
    ASSERT_NO_FATAL_FAILURE(OpenObjects());
    FullListener full;
    ASSERT_TRUE(full.Full());
    const LARGE_INTEGER timeout = RelativeMilliseconds(kShortTimeoutMs);
    TdiRequest connect(endpoint_);
    EXPECT_EQ(connect.Connect(full.Port(), &timeout), STATUS_PENDING);
    EXPECT_EQ(connect.Wait(), STATUS_IO_TIMEOUT);
    // A timed-out attempt leaves the endpoint free.
    TdiRequest again(endpoint_);
    again.Connect(listener_.Port(), nullptr);
    EXPECT_EQ(again.Wait(), STATUS_SUCCESS);
}

TEST_F(TdiConnectTest, APendingConnectCanBeCancelled)
{
    ASSERT_NO_FATAL_FAILURE(OpenObjects());
    FullListener full;
    ASSERT_TRUE(full.Full());
    TdiRequest connect(endpoint_);
    EXPECT_EQ(connect.Connect(full.Port(), nullptr), STATUS_PENDING);
    EXPECT_FALSE(connect.Completed());
    connect.Cancel();
    EXPECT_EQ(connect.Wait(), STATUS_CANCELLED);
    TdiRequest again(endpoint_);
    again.Connect(listener_.Port(), nullptr);
    EXPECT_EQ(again.Wait(), STATUS_SUCCESS);
}

TEST_F(TdiConnectTest, AConnectNeedsAnAssociationAndAnAddress)
{
    endpoint_ = OpenEndpoint(Context());
    TdiRequest unassociated(endpoint_);
    unassociated.Connect(listener_.Port(), nullptr);
    EXPECT_EQ(unassociated.Wait(), STATUS_ADDRESS_NOT_ASSOCIATED);

    ASSERT_NO_FATAL_FAILURE(OpenObjects());
    TdiRequest toNowhere(endpoint_);
    toNowhere.Connect(0, nullptr);
    EXPECT_EQ(toNowhere.Wait(), STATUS_INVALID_ADDRESS_COMPONENT);
    TdiRequest toAny(endpoint_);
    toAny.Connect(listener_.Port(), nullptr, 0);
    EXPECT_EQ(toAny.Wait(), STATUS_INVALID_ADDRESS_COMPONENT);
}

TEST_F(TdiConnectTest, AConnectedEndpointRefusesAnotherConnect)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    TdiRequest again(endpoint_);
    again.Connect(listener_.Port(), nullptr);
    EXPECT_EQ(again.Wait(), STATUS_CONNECTION_ACTIVE);
    TdiRequest disassociate(endpoint_);
    disassociate.Disassociate();
    EXPECT_EQ(disassociate.Wait(), STATUS_CONNECTION_ACTIVE);
}

TEST_F(TdiConnectTest, AGracefulDisconnectSendsFinAndTheRestStillArrives)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    LockedBuffer data(5);
    data.Fill("hello");
    TdiRequest send(endpoint_);
    send.Send(data.Mdl(), data.Size(), 0);
    ASSERT_EQ(send.Wait(), STATUS_SUCCESS);
    const LARGE_INTEGER timeout = RelativeMilliseconds(kShortTimeoutMs);
    TdiRequest disconnect(endpoint_);
    disconnect.Disconnect(TDI_DISCONNECT_RELEASE, &timeout);
    EXPECT_EQ(disconnect.Wait(), STATUS_SUCCESS);
    const zel::test::Received received = zel::test::ReceiveToEnd(peer_.Get());
    EXPECT_EQ(received.End, zel::test::StreamEnd::Eof);
    EXPECT_EQ(received.Data, "hello");
    // Half closed: nothing more goes out.
    TdiRequest late(endpoint_);
    late.Send(data.Mdl(), data.Size(), 0);
    EXPECT_EQ(late.Wait(), STATUS_CONNECTION_INVALID);
}

TEST_F(TdiConnectTest, DisconnectFlagsWithoutAbortAreGraceful)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    TdiRequest disconnect(endpoint_);
    disconnect.Disconnect(0, nullptr);
    EXPECT_EQ(disconnect.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(zel::test::ReceiveToEnd(peer_.Get()).End, zel::test::StreamEnd::Eof);
}

TEST_F(TdiConnectTest, AnAbortiveDisconnectResetsAndEndsPendingRequests)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    LockedBuffer buffer(16);
    TdiRequest receive(endpoint_);
    EXPECT_EQ(receive.Receive(buffer.Mdl(), buffer.Size()), STATUS_PENDING);
    TdiRequest disconnect(endpoint_);
    disconnect.Disconnect(TDI_DISCONNECT_ABORT, nullptr);
    EXPECT_EQ(disconnect.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(receive.Wait(), STATUS_CONNECTION_ABORTED);
    const zel::test::Received received = zel::test::ReceiveToEnd(peer_.Get());
    EXPECT_EQ(received.End, zel::test::StreamEnd::Error);
    EXPECT_EQ(received.Error, ECONNRESET);
    // The client's own abort is not indicated back to it.
    EXPECT_TRUE(events_->Disconnects().empty());
}

TEST_F(TdiConnectTest, DisconnectingWithoutAConnectionIsInvalid)
{
    ASSERT_NO_FATAL_FAILURE(OpenObjects());
    TdiRequest disconnect(endpoint_);
    disconnect.Disconnect(TDI_DISCONNECT_RELEASE, nullptr);
    EXPECT_EQ(disconnect.Wait(), STATUS_CONNECTION_INVALID);
}

TEST_F(TdiConnectTest, AGracefulDisconnectWaitsForEarlierSends)
{
    // The peer reads nothing at first, so a large send stays with the
    // transport and the disconnect queues behind it.
    Listener slowListener(SOMAXCONN, 4096);
    ASSERT_NO_FATAL_FAILURE(OpenObjects());
    TdiRequest connect(endpoint_);
    connect.Connect(slowListener.Port(), nullptr);
    ASSERT_EQ(connect.Wait(), STATUS_SUCCESS);
    zel::UniqueFd peer = slowListener.Accept();
    constexpr std::size_t kLarge = 16 * 1024 * 1024;
    LockedBuffer data(kLarge);
    std::atomic<int> order{0};
    TdiRequest send(endpoint_);
    send.OrderWith(&order);
    EXPECT_EQ(send.Send(data.Mdl(), data.Size(), 0), STATUS_PENDING);
    TdiRequest disconnect(endpoint_);
    disconnect.OrderWith(&order);
    EXPECT_EQ(disconnect.Disconnect(TDI_DISCONNECT_RELEASE, nullptr), STATUS_PENDING);
    EXPECT_FALSE(disconnect.Completed());
    const zel::test::Received received = zel::test::ReceiveToEnd(peer.Get());
    EXPECT_EQ(received.End, zel::test::StreamEnd::Eof);
    EXPECT_EQ(received.Data.size(), kLarge);
    EXPECT_EQ(send.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(disconnect.Wait(), STATUS_SUCCESS);
    EXPECT_LT(send.CompletionOrder(), disconnect.CompletionOrder());
}

TEST_F(TdiConnectTest, AGracefulDisconnectThatCannotGoOutInTimeAborts)
{
    Listener slowListener(SOMAXCONN, 4096);
    ASSERT_NO_FATAL_FAILURE(OpenObjects());
    TdiRequest connect(endpoint_);
    connect.Connect(slowListener.Port(), nullptr);
    ASSERT_EQ(connect.Wait(), STATUS_SUCCESS);
    zel::UniqueFd peer = slowListener.Accept();
    constexpr std::size_t kLarge = 16 * 1024 * 1024;
    LockedBuffer data(kLarge);
    TdiRequest send(endpoint_);
    EXPECT_EQ(send.Send(data.Mdl(), data.Size(), 0), STATUS_PENDING);
    const LARGE_INTEGER timeout = RelativeMilliseconds(kShortTimeoutMs);
    TdiRequest disconnect(endpoint_);
    EXPECT_EQ(disconnect.Disconnect(TDI_DISCONNECT_RELEASE, &timeout), STATUS_PENDING);
    EXPECT_EQ(disconnect.Wait(), STATUS_IO_TIMEOUT);
    EXPECT_EQ(send.Wait(), STATUS_CONNECTION_ABORTED);
    EXPECT_LT(send.Information(), kLarge);
    EXPECT_EQ(zel::test::ReceiveToEnd(peer.Get()).End, zel::test::StreamEnd::Error);
}

}  // namespace
}  // namespace hosttest
