// TDI_SEND and TDI_RECEIVE over a loopback connection, and the transport's
// event handlers: data both ways, MDL chains, large sends, receives that
// complete with what has come, reading ahead, cancellation, the peer's
// close and reset, and data offered to the receive handler.
#include "tdi_client.h"

#include "../support/eventually.h"

#include <future>

namespace hosttest {
namespace {

using TdiDataTest = TdiTest;

constexpr std::size_t kMebibyte = 1024 * 1024;

std::string Pattern(std::size_t size)
{
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        text[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
    }
    return text;
}

// The socket takes a small send at once: it completes in the caller's
// call. A send of nothing succeeds; a receive of nothing is refused.
TEST_F(TdiDataTest, SendsTheSocketTakesCompleteAtOnce)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    LockedBuffer out(std::string("hello"));
    TdiRequest send(endpoint_);
    EXPECT_EQ(send.Send(out, out.Size(), TDI_SEND_PARTIAL), STATUS_SUCCESS);
    EXPECT_EQ(send.Information(), 5u);
    EXPECT_EQ(zel::test::ReceiveBytes(peer_.Get(), 5).Data, "hello");
    TdiRequest empty(endpoint_);
    EXPECT_EQ(empty.Send(out, 0), STATUS_SUCCESS);
    EXPECT_EQ(empty.Information(), 0u);
    TdiRequest nothing(endpoint_);
    EXPECT_EQ(nothing.Receive(out, 0), STATUS_INVALID_PARAMETER);
}

// Pending receives complete in order with what has come, on the reactor at
// DISPATCH_LEVEL; one cancelled leaves the connection going.
TEST_F(TdiDataTest, PendingReceivesCompleteInOrderOrCancelled)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    LockedBuffer first(2);
    LockedBuffer second(2);
    TdiRequest cancelled(endpoint_);
    EXPECT_EQ(cancelled.Receive(first), STATUS_PENDING);
    cancelled.Cancel();
    EXPECT_EQ(cancelled.Wait(), STATUS_CANCELLED);
    EXPECT_EQ(cancelled.Information(), 0u);

    TdiRequest one(endpoint_);
    TdiRequest two(endpoint_);
    EXPECT_EQ(one.Receive(first), STATUS_PENDING);
    EXPECT_EQ(two.Receive(second), STATUS_PENDING);
    ASSERT_TRUE(zel::test::SendAll(peer_.Get(), "abcd"));
    ASSERT_EQ(one.Wait(), STATUS_SUCCESS);
    ASSERT_EQ(two.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(first.Text(2), "ab");
    EXPECT_EQ(second.Text(2), "cd");
    EXPECT_EQ(one.CompletionIrql, DISPATCH_LEVEL);
    EXPECT_NE(one.CompletionThread, std::this_thread::get_id());
}

TEST_F(TdiDataTest, AMebibyteGoesOutThroughAnMdlChain)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    const std::string pattern = Pattern(kMebibyte);
    LockedBuffer out(pattern, 4);
    auto reader = std::async(std::launch::async,
                             [this] { return zel::test::ReceiveBytes(peer_.Get(), kMebibyte); });
    TdiRequest send(endpoint_);
    send.Send(out, out.Size(), TDI_SEND_PARTIAL);
    ASSERT_EQ(send.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(send.Information(), kMebibyte);
    EXPECT_TRUE(reader.get().Data == pattern);
}

// A send behind one the socket could not take waits its turn.
TEST_F(TdiDataTest, ASendBehindAPendingOneKeepsItsPlace)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    const std::string first = Pattern(kLargeSend);
    LockedBuffer large(first);
    LockedBuffer small(std::string("last"));
    TdiRequest sendLarge(endpoint_);
    ASSERT_EQ(sendLarge.Send(large), STATUS_PENDING);
    TdiRequest sendSmall(endpoint_);
    EXPECT_EQ(sendSmall.Send(small), STATUS_PENDING);
    const zel::test::Received received = zel::test::ReceiveBytes(peer_.Get(), kLargeSend + 4);
    ASSERT_EQ(sendLarge.Wait(), STATUS_SUCCESS);
    ASSERT_EQ(sendSmall.Wait(), STATUS_SUCCESS);
    ASSERT_EQ(received.Data.size(), kLargeSend + 4);
    EXPECT_TRUE(received.Data.compare(0, kLargeSend, first) == 0);
    EXPECT_EQ(received.Data.substr(kLargeSend), "last");
}

TEST_F(TdiDataTest, APendingSendCanBeCancelledAfterPartOfItWentOut)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect(true));
    LockedBuffer out(kLargeSend);
    TdiRequest send(endpoint_);
    EXPECT_EQ(send.Send(out), STATUS_PENDING);
    ASSERT_EQ(zel::test::ReceiveBytes(peer_.Get(), 1).Data.size(), 1u);
    // The reactor may hold the IRP at this instant (IoCancelIrp returns
    // FALSE then); either way the send ends as cancelled.
    send.Cancel();
    EXPECT_EQ(send.Wait(), STATUS_CANCELLED);
    EXPECT_GE(send.Information(), 1u);
    EXPECT_LT(send.Information(), kLargeSend);
}

// A receive filled to its end makes the next read run on; receives queued
// behind that read are then served from what it ran on to, each once.
TEST_F(TdiDataTest, QueuedReceivesAreServedFromWhatWasReadAhead)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    std::vector<std::unique_ptr<LockedBuffer>> buffers;
    std::vector<std::unique_ptr<TdiRequest>> receives;
    auto post = [&] {
        buffers.push_back(std::make_unique<LockedBuffer>(2));
        receives.push_back(std::make_unique<TdiRequest>(endpoint_));
        return receives.back()->Receive(*buffers.back());
    };
    post();
    ASSERT_TRUE(zel::test::SendAll(peer_.Get(), "ab"));
    ASSERT_EQ(receives[0]->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(post(), STATUS_PENDING);
    EXPECT_EQ(post(), STATUS_PENDING);
    ASSERT_TRUE(zel::test::SendAll(peer_.Get(), "cdefgh"));
    post();
    std::string got;
    for (std::size_t i = 0; i < receives.size(); ++i) {
        ASSERT_EQ(receives[i]->Wait(), STATUS_SUCCESS);
        got += buffers[i]->Text(receives[i]->Information());
    }
    EXPECT_EQ(got, "abcdefgh");
}

// Receives that fill their buffers make the transport read ahead of them;
// whether a byte comes from the socket or from what was read ahead, the
// receives, a peek and the receive handler see the stream in order.
class TdiReadAheadTest : public TdiTest {
protected:
    static constexpr ULONG kChunk = 2048;

    void SetUp() override
    {
        TdiTest::SetUp();
        ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
        ASSERT_TRUE(zel::test::SendAll(peer_.Get(), pattern_));
    }

    const std::string pattern_ = Pattern(10 * kChunk + 123);
};

TEST_F(TdiReadAheadTest, EveryByteArrivesInOrderAndThenTheEnd)
{
    ASSERT_EQ(shutdown(peer_.Get(), SHUT_WR), 0);
    // The end: a receive with nothing, or, once the transport has seen the
    // peer's close, a refused one.
    LockedBuffer in(kChunk);
    std::string got;
    for (;;) {
        TdiRequest receive(endpoint_);
        receive.Receive(in);
        const NTSTATUS status = receive.Wait();
        if (status == STATUS_CONNECTION_INVALID ||
            (status == STATUS_SUCCESS && receive.Information() == 0)) {
            break;
        }
        ASSERT_EQ(status, STATUS_SUCCESS);
        got += in.Text(receive.Information());
        ASSERT_LE(got.size(), pattern_.size());
    }
    EXPECT_TRUE(got == pattern_);
    EXPECT_EQ(events_->WaitForDisconnect(), STATUS_SUCCESS);
}

// With every byte in the socket first, the second receive surely reads
// ahead. Declined, the bytes are offered to the receive handler once after
// each receive, starting where that receive ended; a peek leaves them, and
// the next receive completes in the caller's call with them.
TEST_F(TdiReadAheadTest, ReadAheadBytesGoToTheHandlerAPeekAndTheNextReceive)
{
    ASSERT_TRUE(zel::test::Eventually([&] {
        return ReceiveText(pattern_.size(), TDI_RECEIVE_PEEK).size() == pattern_.size();
    }));
    std::string got = ReceiveText(kChunk);
    got += ReceiveText(kChunk);
    ASSERT_EQ(got, pattern_.substr(0, got.size()));
    ASSERT_TRUE(zel::test::Eventually([&] {
        const auto offers = events_->Receives();
        return !offers.empty() && !offers.back().Data.empty() &&
               offers.back().Data == pattern_.substr(got.size(), offers.back().Data.size());
    }));
    EXPECT_GE(events_->Receives().back().Available, events_->Receives().back().Data.size());
    const std::string peeked = ReceiveText(kChunk, TDI_RECEIVE_PEEK);
    ASSERT_FALSE(peeked.empty());
    LockedBuffer in(kChunk);
    TdiRequest third(endpoint_);
    EXPECT_EQ(third.Receive(in), STATUS_SUCCESS);
    EXPECT_EQ(third.CompletionThread, std::this_thread::get_id());
    EXPECT_EQ(in.Text(peeked.size()), peeked);
    EXPECT_EQ(in.Text(third.Information()), pattern_.substr(got.size(), kChunk));
}

// ---------------------------------------------------------------------------
// Event handlers

using TdiEventsTest = TdiTest;

// The peer's close ends a posted receive with nothing, then is indicated as
// a release; the connection is half open: transfers are refused, and a new
// connect is taken once the client has disconnected its side too.
TEST_F(TdiEventsTest, ThePeersClose)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    LockedBuffer in(2048);
    TdiRequest receive(endpoint_);
    EXPECT_EQ(receive.Receive(in), STATUS_PENDING);
    peer_.Reset();
    EXPECT_EQ(receive.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(receive.Information(), 0u);
    ASSERT_EQ(events_->WaitForDisconnect(), STATUS_SUCCESS);
    const auto disconnects = events_->Disconnects();
    ASSERT_EQ(disconnects.size(), 1u);
    EXPECT_EQ(disconnects[0].Flags, static_cast<ULONG>(TDI_DISCONNECT_RELEASE));
    EXPECT_EQ(disconnects[0].Context, Context());
    EXPECT_EQ(disconnects[0].Irql, DISPATCH_LEVEL);
    EXPECT_NE(disconnects[0].Thread, std::this_thread::get_id());
    EXPECT_LT(receive.CompletionOrder, disconnects[0].Order);

    EXPECT_EQ(SendText("x"), STATUS_CONNECTION_INVALID);
    TdiRequest refused(endpoint_);
    refused.Receive(in);
    EXPECT_EQ(refused.Wait(), STATUS_CONNECTION_INVALID);
    TdiRequest early(endpoint_);
    early.Connect(listener_.Port());
    EXPECT_EQ(early.Wait(), STATUS_CONNECTION_ACTIVE);
    TdiRequest disconnect(endpoint_);
    disconnect.Disconnect(TDI_DISCONNECT_ABORT);
    ASSERT_EQ(disconnect.Wait(), STATUS_SUCCESS);
    ASSERT_NO_FATAL_FAILURE(Connect(listener_));
    ASSERT_EQ(SendText("new"), STATUS_SUCCESS);
    EXPECT_EQ(zel::test::ReceiveBytes(peer_.Get(), 3).Data, "new");
}

// A graceful disconnect (any flags without TDI_DISCONNECT_ABORT) sends FIN
// after the data and half closes: nothing more goes out, but the peer may
// still send, and its close is then indicated.
TEST_F(TdiEventsTest, AGracefulDisconnectHalfClosesUntilThePeerCloses)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    LockedBuffer in(2048);
    TdiRequest receive(endpoint_);
    EXPECT_EQ(receive.Receive(in), STATUS_PENDING);
    ASSERT_EQ(SendText("hello"), STATUS_SUCCESS);
    TdiRequest disconnect(endpoint_);
    disconnect.Disconnect(0, kShortTimeoutMs);
    ASSERT_EQ(disconnect.Wait(), STATUS_SUCCESS);
    const zel::test::Received received = zel::test::ReceiveToEnd(peer_.Get());
    EXPECT_EQ(received.End, zel::test::StreamEnd::Eof);
    EXPECT_EQ(received.Data, "hello");
    EXPECT_EQ(SendText("late"), STATUS_CONNECTION_INVALID);
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
    LockedBuffer in(2048);
    TdiRequest receive(endpoint_);
    EXPECT_EQ(receive.Receive(in), STATUS_PENDING);
    ResetConnection(peer_);
    EXPECT_EQ(receive.Wait(), STATUS_CONNECTION_RESET);
    ASSERT_EQ(events_->WaitForDisconnect(), STATUS_SUCCESS);
    const auto disconnects = events_->Disconnects();
    ASSERT_EQ(disconnects.size(), 1u);
    EXPECT_EQ(disconnects[0].Flags, static_cast<ULONG>(TDI_DISCONNECT_ABORT));
    EXPECT_EQ(disconnects[0].Irql, DISPATCH_LEVEL);
    EXPECT_LT(receive.CompletionOrder, disconnects[0].Order);
    EXPECT_EQ(SendText("x"), STATUS_CONNECTION_INVALID);
}

// Data that comes with no receive posted is offered once; declined, it
// waits for the next receive, and later data too.
TEST_F(TdiEventsTest, DeclinedDataWaitsForTheNextReceive)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    ASSERT_TRUE(zel::test::SendAll(peer_.Get(), "early"));
    ASSERT_EQ(events_->WaitForReceive(), STATUS_SUCCESS);
    EXPECT_EQ(ReceiveText(), "early");
    const auto offers = events_->Receives();
    ASSERT_EQ(offers.size(), 1u);
    EXPECT_EQ(offers[0].Data, "early");
    EXPECT_EQ(offers[0].Available, 5u);
    EXPECT_EQ(offers[0].Context, Context());
    EXPECT_NE(offers[0].Flags & TDI_RECEIVE_NORMAL, 0u);
    EXPECT_EQ(offers[0].Irql, DISPATCH_LEVEL);
    EXPECT_NE(offers[0].Thread, std::this_thread::get_id());
    ASSERT_TRUE(zel::test::SendAll(peer_.Get(), "two"));
    EXPECT_EQ(ReceiveText(), "two");
}

// Bytes the handler takes leave the stream; a receive it hands back gets
// the rest.
TEST_F(TdiEventsTest, TheHandlerTakesBytesOrHandsBackAReceive)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    events_->TakeBytes(3);
    ASSERT_TRUE(zel::test::SendAll(peer_.Get(), "abcdef"));
    ASSERT_EQ(events_->WaitForReceive(), STATUS_SUCCESS);
    EXPECT_EQ(ReceiveText(), "def");

    LockedBuffer in(2048);
    TdiRequest handedBack(endpoint_);
    events_->TakeBytes(1);
    events_->HandBack(handedBack.PrepareReceive(in));
    ASSERT_TRUE(zel::test::SendAll(peer_.Get(), "xyz"));
    ASSERT_EQ(handedBack.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(in.Text(handedBack.Information()), "yz");
}

using TdiEventsDeathTest = TdiEventsTest;

// Windows leaves an unwritten BytesTaken as whatever the stack held.
TEST_F(TdiEventsDeathTest, AReceiveHandlerMustSayHowManyBytesItTook)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    events_->LeaveBytesTakenUnset();
    EXPECT_DEATH(
        {
            zel::test::SendAll(peer_.Get(), "x");
            events_->WaitForReceive();
        },
        "TDI receive event handler returned without setting BytesTaken");
}

}  // namespace
}  // namespace hosttest
