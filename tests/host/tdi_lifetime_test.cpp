// How long transport objects live: a handle closed under a pending request
// leaves the endpoint working until the last reference goes; freeing a file
// object with a request still pending, or unlocking a buffer a pending
// request uses, stops.
#include "tdi_fixture.h"

#include "../support/loopback.h"

#include <sys/socket.h>

namespace hosttest {
namespace {

using TdiLifetimeTest = TdiTest;
using TdiLifetimeDeathTest = TdiTest;

TEST_F(TdiLifetimeTest, ClosingTheHandleKeepsTheEndpointUntilTheLastReference)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    LockedBuffer in(2048);
    TdiRequest receive(endpoint_);
    EXPECT_EQ(receive.Receive(in.Mdl(), in.Size()), STATUS_PENDING);
    // The cleanup neither ends the connection nor the pending receive.
    endpoint_.CloseHandleOnly();
    EXPECT_FALSE(receive.Completed());
    ASSERT_TRUE(zel::test::SendAll(peer_.Get(), "still"));
    ASSERT_EQ(receive.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(in.Text(receive.Information()), "still");
    // The last reference closes it: a connection nobody disconnected is reset.
    endpoint_.DereferenceOnly();
    const zel::test::Received end = zel::test::ReceiveToEnd(peer_.Get());
    EXPECT_EQ(end.End, zel::test::StreamEnd::Error);
    EXPECT_EQ(end.Error, ECONNRESET);
}

TEST_F(TdiLifetimeTest, ALastReferenceDroppedAtDispatchLevelClosesOnTheWorker)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    endpoint_.CloseHandleOnly();
    {
        KIRQL irql;
        KeRaiseIrql(DISPATCH_LEVEL, &irql);
        endpoint_.DereferenceOnly();
        KeLowerIrql(irql);
    }
    EXPECT_EQ(zel::test::ReceiveToEnd(peer_.Get()).End, zel::test::StreamEnd::Error);
}

TEST_F(TdiLifetimeTest, ClosingTheAddressObjectStopsItsEventHandlers)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    address_.Close();
    ResetConnection(peer_);
    // The reset reaches the endpoint, but nobody is told.
    LockedBuffer in(16);
    TdiRequest receive(endpoint_);
    const NTSTATUS called = receive.Receive(in.Mdl(), in.Size());
    const NTSTATUS status = called == STATUS_PENDING ? receive.Wait() : called;
    EXPECT_TRUE(status == STATUS_CONNECTION_RESET || status == STATUS_CONNECTION_INVALID);
    EXPECT_TRUE(events_->Disconnects().empty());
}

TEST_F(TdiLifetimeDeathTest, FreeingAnEndpointWithARequestPendingStops)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    LockedBuffer in(2048);
    TdiRequest receive(endpoint_);
    EXPECT_EQ(receive.Receive(in.Mdl(), in.Size()), STATUS_PENDING);
    EXPECT_DEATH(endpoint_.Close(),
                 "DRIVER_VERIFIER_IOMANAGER_VIOLATION: file object of a \\\\Device\\\\Tcp "
                 "connection endpoint "
                 "freed while requests on it are pending: TDI_RECEIVE");
}

TEST_F(TdiLifetimeDeathTest, UnlockingABufferAPendingReceiveUsesStops)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    LockedBuffer in(2048);
    TdiRequest receive(endpoint_);
    EXPECT_EQ(receive.Receive(in.Mdl(), in.Size()), STATUS_PENDING);
    EXPECT_DEATH(in.Unlock(),
                 "DRIVER_VERIFIER_DETECTED_VIOLATION: MmUnlockPages on MDL .* while a pending "
                 "request uses it");
}

TEST_F(TdiLifetimeDeathTest, SendingFromUnlockedPagesStops)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    std::vector<std::uint8_t> memory(16);
    PMDL mdl =
        IoAllocateMdl(memory.data(), static_cast<ULONG>(memory.size()), FALSE, FALSE, nullptr);
    TdiRequest send(endpoint_);
    EXPECT_DEATH(
        send.Send(mdl, static_cast<ULONG>(memory.size()), 0),
        "DRIVER_VERIFIER_DETECTED_VIOLATION: TDI_SEND with MDL .* whose pages are not locked");
    IoFreeMdl(mdl);
}

TEST_F(TdiLifetimeDeathTest, ASendLongerThanItsMdlChainStops)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    LockedBuffer out(16);
    TdiRequest send(endpoint_);
    EXPECT_DEATH(
        send.Send(out.Mdl(), 17, 0),
        "DRIVER_VERIFIER_DETECTED_VIOLATION: TDI_SEND of 17 bytes with an MDL chain of 16 bytes");
}

}  // namespace
}  // namespace hosttest
