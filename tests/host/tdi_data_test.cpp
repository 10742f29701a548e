// TDI_SEND and TDI_RECEIVE over a loopback connection, and the transport's
// event handlers.
#include "tdi_client.h"

#include "../support/eventually.h"

namespace hosttest {
namespace {

using TdiDataTest = TdiTest;

// The socket takes a small send at once, in the caller's call; a send
// behind one it could not take waits its turn, its bytes going out after
// all of that one's, through every MDL of the chain.
TEST_F(TdiDataTest, SendsGoOutInTurn)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    LockedBuffer quick(std::string("quick"));
    TdiRequest send(endpoint_.FileObject);
    EXPECT_EQ(send.Send(quick, quick.Size(), TDI_SEND_PARTIAL), STATUS_SUCCESS);
    EXPECT_EQ(send.Information(), 5u);
    EXPECT_EQ(zel::test::ReceiveBytes(peer_.Get(), 5).Data, "quick");
    // A send of nothing succeeds, a receive of nothing is refused.
    TdiRequest empty(endpoint_.FileObject);
    EXPECT_EQ(empty.Send(quick, 0), STATUS_SUCCESS);
    TdiRequest nothing(endpoint_.FileObject);
    EXPECT_EQ(nothing.Receive(quick, 0), STATUS_INVALID_PARAMETER);

    std::string first(kLargeSend, '\0');
    for (std::size_t i = 0; i < first.size(); ++i) {
        first[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
    }
    LockedBuffer large(first, 4);
    TdiRequest sendLarge(endpoint_.FileObject);
    ASSERT_EQ(sendLarge.Send(large), STATUS_PENDING);
    TdiRequest sendQuick(endpoint_.FileObject);
    EXPECT_EQ(sendQuick.Send(quick), STATUS_PENDING);
    const zel::test::Received received = zel::test::ReceiveBytes(peer_.Get(), kLargeSend + 5);
    ASSERT_EQ(sendLarge.Wait(), STATUS_SUCCESS);
    ASSERT_EQ(sendQuick.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(sendLarge.Information(), kLargeSend);
    EXPECT_TRUE(received.Data == first + "quick");
}

// Pending receives complete in order with what has come, on the reactor at
// DISPATCH_LEVEL; one cancelled (completed there too) leaves the connection
// going. A receive
// filled to its end makes the next read run on; receives queued behind it
// are then served from what it ran on to, each once.
TEST_F(TdiDataTest, PendingReceivesCompleteInOrderOrCancelled)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    std::vector<std::unique_ptr<LockedBuffer>> buffers;
    std::vector<std::unique_ptr<TdiRequest>> receives;
    auto post = [&] {
        buffers.push_back(std::make_unique<LockedBuffer>(2));
        receives.push_back(std::make_unique<TdiRequest>(endpoint_.FileObject));
        return receives.back()->Receive(*buffers.back());
    };
    EXPECT_EQ(post(), STATUS_PENDING);
    receives[0]->Cancel();
    EXPECT_EQ(receives[0]->Wait(), STATUS_CANCELLED);
    // As a real transport may: later, on its own thread.
    EXPECT_NE(receives[0]->CompletionThread, std::this_thread::get_id());
    EXPECT_EQ(post(), STATUS_PENDING);
    ASSERT_TRUE(zel::test::SendAll(peer_.Get(), "ab"));
    ASSERT_EQ(receives[1]->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(receives[1]->CompletionIrql, DISPATCH_LEVEL);
    EXPECT_NE(receives[1]->CompletionThread, std::this_thread::get_id());
    EXPECT_EQ(post(), STATUS_PENDING);
    EXPECT_EQ(post(), STATUS_PENDING);
    ASSERT_TRUE(zel::test::SendAll(peer_.Get(), "cdefgh"));
    post();
    std::string got;
    for (std::size_t i = 1; i < receives.size(); ++i) {
        ASSERT_EQ(receives[i]->Wait(), STATUS_SUCCESS);
        got += buffers[i]->Text(receives[i]->Information());
    }
    EXPECT_EQ(got, "abcdefgh");
}

TEST_F(TdiDataTest, APendingSendCanBeCancelledAfterPartOfItWentOut)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect(true));
    LockedBuffer out(kLargeSend);
    TdiRequest send(endpoint_.FileObject);
    EXPECT_EQ(send.Send(out), STATUS_PENDING);
    ASSERT_EQ(zel::test::ReceiveBytes(peer_.Get(), 1).Data.size(), 1u);
    // The reactor may hold the IRP at this instant (IoCancelIrp returns
    // FALSE then); either way the send ends as cancelled.
    send.Cancel();
    EXPECT_EQ(send.Wait(), STATUS_CANCELLED);
    EXPECT_GE(send.Information(), 1u);
    EXPECT_LT(send.Information(), kLargeSend);
}

// With every byte in the socket, receives that fill their buffers make the
// transport read ahead. Declined, the bytes are offered to the receive
// handler once after each receive, from where that receive ended, and the
// next receive completes in the caller's call.
TEST_F(TdiDataTest, ReadAheadBytesGoToTheHandlerAndTheNextReceiveInOrder)
{
    constexpr ULONG kChunk = 2048;
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    std::string pattern(10 * kChunk + 123, '\0');
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        pattern[i] = static_cast<char>('a' + i % 26);
    }
    ASSERT_TRUE(zel::test::SendAll(peer_.Get(), pattern));
    ASSERT_TRUE(zel::test::Eventually([&] {
        const auto offers = events_->Receives();
        return !offers.empty() && offers.back().Available == pattern.size();
    }));
    std::string got = ReceiveText(kChunk);
    got += ReceiveText(kChunk);
    ASSERT_EQ(got, pattern.substr(0, got.size()));
    ASSERT_TRUE(zel::test::Eventually([&] {
        const auto offers = events_->Receives();
        return !offers.empty() && !offers.back().Data.empty() &&
               offers.back().Data == pattern.substr(got.size(), offers.back().Data.size());
    }));
    LockedBuffer in(kChunk);
    TdiRequest third(endpoint_.FileObject);
    EXPECT_EQ(third.Receive(in), STATUS_SUCCESS);
    EXPECT_EQ(third.CompletionThread, std::this_thread::get_id());
    got += in.Text(third.Information());
    // Then every byte, and the end: a receive with nothing, or, once the
    // transport has seen the peer's close, a refused one.
    ASSERT_EQ(shutdown(peer_.Get(), SHUT_WR), 0);
    for (;;) {
        TdiRequest receive(endpoint_.FileObject);
        receive.Receive(in);
        const NTSTATUS status = receive.Wait();
        if (status == STATUS_CONNECTION_INVALID || receive.Information() == 0) {
            break;
        }
        ASSERT_EQ(status, STATUS_SUCCESS);
        got += in.Text(receive.Information());
        ASSERT_LE(got.size(), pattern.size());
    }
    EXPECT_TRUE(got == pattern);
    EXPECT_EQ(WaitSafely(&events_->Disconnected), STATUS_SUCCESS);
}

using TdiEventsTest = TdiTest;

// The peer's close ends a posted receive with nothing, then is indicated as
// a release; the connection is half open: transfers are refused, and a new
// connect is taken once the client has disconnected its side too. The
// peer's reset fails a posted receive, then is indicated as an abort.
TEST_F(TdiEventsTest, ThePeersCloseAndReset)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    LockedBuffer in(2048);
    TdiRequest receive(endpoint_.FileObject);
    EXPECT_EQ(receive.Receive(in), STATUS_PENDING);
    peer_.Reset();
    EXPECT_EQ(receive.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(receive.Information(), 0u);
    ASSERT_EQ(WaitSafely(&events_->Disconnected), STATUS_SUCCESS);
    const auto disconnects = events_->Disconnects();
    ASSERT_EQ(disconnects.size(), 1u);
    EXPECT_EQ(disconnects[0].Flags, static_cast<ULONG>(TDI_DISCONNECT_RELEASE));
    EXPECT_EQ(disconnects[0].Context, &context_);
    EXPECT_LT(receive.CompletionOrder, disconnects[0].Order);

    EXPECT_EQ(SendText("x"), STATUS_CONNECTION_INVALID);
    TdiRequest refused(endpoint_.FileObject);
    EXPECT_EQ(refused.Receive(in), STATUS_CONNECTION_INVALID);
    TdiRequest early(endpoint_.FileObject);
    early.Connect(listener_.Port());
    EXPECT_EQ(early.Wait(), STATUS_CONNECTION_ACTIVE);
    ASSERT_EQ(Disconnect(TDI_DISCONNECT_ABORT), STATUS_SUCCESS);
    ASSERT_NO_FATAL_FAILURE(Connect(listener_));
    ASSERT_EQ(SendText("new"), STATUS_SUCCESS);
    EXPECT_EQ(zel::test::ReceiveBytes(peer_.Get(), 3).Data, "new");

    TdiRequest reset(endpoint_.FileObject);
    EXPECT_EQ(reset.Receive(in), STATUS_PENDING);
    ResetConnection(peer_);
    EXPECT_EQ(reset.Wait(), STATUS_CONNECTION_RESET);
    ASSERT_EQ(WaitSafely(&events_->Disconnected), STATUS_SUCCESS);
    const auto aborted = events_->Disconnects();
    ASSERT_EQ(aborted.size(), 2u);
    EXPECT_EQ(aborted[1].Flags, static_cast<ULONG>(TDI_DISCONNECT_ABORT));
    EXPECT_LT(reset.CompletionOrder, aborted[1].Order);
}

// Data that comes with no receive posted is offered once; declined, it
// waits for the next receive. Bytes the handler takes leave the stream; a
// receive it hands back gets the rest.
TEST_F(TdiEventsTest, TheReceiveHandlerDeclinesTakesOrHandsBackAReceive)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    ASSERT_TRUE(zel::test::SendAll(peer_.Get(), "early"));
    ASSERT_EQ(WaitSafely(&events_->Received), STATUS_SUCCESS);
    EXPECT_EQ(ReceiveText(), "early");
    auto offers = events_->Receives();
    ASSERT_EQ(offers.size(), 1u);
    EXPECT_EQ(offers[0].Data, "early");
    EXPECT_EQ(offers[0].Context, &context_);
    EXPECT_EQ(offers[0].Irql, DISPATCH_LEVEL);
    EXPECT_NE(offers[0].Thread, std::this_thread::get_id());

    events_->Take = 3;
    ASSERT_TRUE(zel::test::SendAll(peer_.Get(), "abcdef"));
    ASSERT_TRUE(zel::test::Eventually([&] { return events_->Receives().size() >= 2; }));
    EXPECT_EQ(ReceiveText(), "def");
    LockedBuffer in(2048);
    TdiRequest handedBack(endpoint_.FileObject);
    events_->Take = 1;
    events_->HandBack = handedBack.PrepareReceive(in);
    ASSERT_TRUE(zel::test::SendAll(peer_.Get(), "xyz"));
    ASSERT_EQ(handedBack.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(in.Text(handedBack.Information()), "yz");
}

}  // namespace
}  // namespace hosttest
