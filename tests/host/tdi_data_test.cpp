// TDI_SEND and TDI_RECEIVE over a loopback connection: data both ways,
// MDL chains, a large send, receives that complete with what has come,
// where completions run, and cancellation of pending transfers.
#include "tdi_fixture.h"

#include "../support/eventually.h"
#include "../support/loopback.h"

#include <sys/socket.h>

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

TEST_F(TdiDataTest, DataGoesBothWays)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    LockedBuffer out(5);
    out.Fill("hello");
    TdiRequest send(endpoint_);
    send.Send(out.Mdl(), out.Size(), TDI_SEND_PARTIAL);
    ASSERT_EQ(send.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(send.Information(), 5u);
    EXPECT_EQ(zel::test::ReceiveBytes(peer_.Get(), 5).Data, "hello");

    ASSERT_TRUE(zel::test::SendAll(peer_.Get(), "world"));
    LockedBuffer in(2048);
    TdiRequest receive(endpoint_);
    receive.Receive(in.Mdl(), in.Size());
    ASSERT_EQ(receive.Wait(), STATUS_SUCCESS);
    ASSERT_EQ(receive.Information(), 5u);
    EXPECT_EQ(in.Text(5), "world");
}

TEST_F(TdiDataTest, AReceiveCompletesWithWhatHasComeOnTheReactorAtDispatchLevel)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    LockedBuffer in(2048);
    TdiRequest receive(endpoint_);
    EXPECT_EQ(receive.Receive(in.Mdl(), in.Size()), STATUS_PENDING);
    EXPECT_FALSE(receive.Completed());
    ASSERT_TRUE(zel::test::SendAll(peer_.Get(), "abc"));
    ASSERT_EQ(receive.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(receive.Information(), 3u);
    EXPECT_EQ(in.Text(3), "abc");
    EXPECT_EQ(receive.CompletionIrql(), DISPATCH_LEVEL);
    EXPECT_NE(receive.CompletionThread(), std::this_thread::get_id());
}

TEST_F(TdiDataTest, AReceiveTakesNoMoreThanItsLength)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    ASSERT_TRUE(zel::test::SendAll(peer_.Get(), "0123456789"));
    LockedBuffer in(16);
    std::string got;
    while (got.size() < 10) {
        TdiRequest receive(endpoint_);
        receive.Receive(in.Mdl(), 4);
        ASSERT_EQ(receive.Wait(), STATUS_SUCCESS);
        ASSERT_GT(receive.Information(), 0u);
        ASSERT_LE(receive.Information(), 4u);
        got += in.Text(receive.Information());
    }
    EXPECT_EQ(got, "0123456789");
}

// The socket takes a small send at once: it completes before the call
// returns, with no trip through the reactor.
TEST_F(TdiDataTest, ASendTheSocketTakesAtOnceCompletesInTheCallersCall)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    LockedBuffer out(5);
    out.Fill("quick");
    TdiRequest send(endpoint_);
    EXPECT_EQ(send.Send(out.Mdl(), out.Size(), TDI_SEND_PARTIAL), STATUS_SUCCESS);
    ASSERT_EQ(send.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(send.Information(), 5u);
    EXPECT_EQ(zel::test::ReceiveBytes(peer_.Get(), 5).Data, "quick");
}

// A send behind one the socket could not take waits its turn: bytes leave
// in the order of the sends.
TEST_F(TdiDataTest, ASendBehindAPendingOneKeepsItsPlace)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    constexpr std::size_t kLarge = 16 * kMebibyte;  // more than the socket buffers hold
    const std::string first = Pattern(kLarge);
    LockedBuffer large(kLarge);
    large.Fill(first);
    LockedBuffer small(4);
    small.Fill("last");
    TdiRequest sendLarge(endpoint_);
    ASSERT_EQ(sendLarge.Send(large.Mdl(), large.Size(), 0), STATUS_PENDING);
    TdiRequest sendSmall(endpoint_);
    EXPECT_EQ(sendSmall.Send(small.Mdl(), small.Size(), 0), STATUS_PENDING);

    const zel::test::Received received = zel::test::ReceiveBytes(peer_.Get(), kLarge + 4);
    ASSERT_EQ(sendLarge.Wait(), STATUS_SUCCESS);
    ASSERT_EQ(sendSmall.Wait(), STATUS_SUCCESS);
    ASSERT_EQ(received.Data.size(), kLarge + 4);
    EXPECT_TRUE(received.Data.compare(0, kLarge, first) == 0);
    EXPECT_EQ(received.Data.substr(kLarge), "last");
}

TEST_F(TdiDataTest, AMebibyteGoesOutThroughAnMdlChain)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    const std::string pattern = Pattern(kMebibyte);
    constexpr std::size_t kChunks = 4;
    LockedBuffer out(kMebibyte, kChunks);
    out.Fill(pattern);
    auto reader = std::async(std::launch::async,
                             [this] { return zel::test::ReceiveBytes(peer_.Get(), kMebibyte); });
    TdiRequest send(endpoint_);
    send.Send(out.Mdl(), out.Size(), TDI_SEND_PARTIAL);
    ASSERT_EQ(send.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(send.Information(), kMebibyte);
    const zel::test::Received received = reader.get();
    ASSERT_EQ(received.Data.size(), kMebibyte);
    EXPECT_TRUE(received.Data == pattern);
}

TEST_F(TdiDataTest, AMebibyteComesInThroughReceives)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    const std::string pattern = Pattern(kMebibyte);
    auto writer = std::async(std::launch::async,
                             [this, &pattern] { return zel::test::SendAll(peer_.Get(), pattern); });
    LockedBuffer in(2048, 2);
    std::string got;
    while (got.size() < kMebibyte) {
        TdiRequest receive(endpoint_);
        receive.Receive(in.Mdl(), in.Size());
        ASSERT_EQ(receive.Wait(), STATUS_SUCCESS);
        ASSERT_GT(receive.Information(), 0u);
        got += in.Text(receive.Information());
    }
    EXPECT_TRUE(writer.get());
    EXPECT_TRUE(got == pattern);
}

TEST_F(TdiDataTest, APendingReceiveCanBeCancelled)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    LockedBuffer in(2048);
    TdiRequest receive(endpoint_);
    EXPECT_EQ(receive.Receive(in.Mdl(), in.Size()), STATUS_PENDING);
    receive.Cancel();
    EXPECT_EQ(receive.Wait(), STATUS_CANCELLED);
    EXPECT_EQ(receive.Information(), 0u);
    // The connection goes on: the next receive gets the data.
    ASSERT_TRUE(zel::test::SendAll(peer_.Get(), "next"));
    TdiRequest next(endpoint_);
    next.Receive(in.Mdl(), in.Size());
    ASSERT_EQ(next.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(in.Text(next.Information()), "next");
}

TEST_F(TdiDataTest, APendingSendCanBeCancelledAfterPartOfItWentOut)
{
    Listener slowListener(SOMAXCONN, 4096);
    ASSERT_NO_FATAL_FAILURE(OpenObjects());
    TdiRequest connect(endpoint_);
    connect.Connect(slowListener.Port(), nullptr);
    ASSERT_EQ(connect.Wait(), STATUS_SUCCESS);
    zel::UniqueFd peer = slowListener.Accept();
    // More than the socket buffers on both sides can hold.
    constexpr std::size_t kLarge = 16 * kMebibyte;
    LockedBuffer out(kLarge);
    TdiRequest send(endpoint_);
    EXPECT_EQ(send.Send(out.Mdl(), out.Size(), 0), STATUS_PENDING);
    ASSERT_EQ(zel::test::ReceiveBytes(peer.Get(), 1).Data.size(), 1u);
    // The reactor may hold the IRP at this instant (IoCancelIrp returns
    // FALSE then); either way the send ends as cancelled.
    send.Cancel();
    EXPECT_EQ(send.Wait(), STATUS_CANCELLED);
    EXPECT_GE(send.Information(), 1u);
    EXPECT_LT(send.Information(), kLarge);
}

TEST_F(TdiDataTest, TransfersNeedAConnection)
{
    ASSERT_NO_FATAL_FAILURE(OpenObjects());
    LockedBuffer buffer(8);
    TdiRequest send(endpoint_);
    send.Send(buffer.Mdl(), buffer.Size(), 0);
    EXPECT_EQ(send.Wait(), STATUS_CONNECTION_INVALID);
    TdiRequest receive(endpoint_);
    receive.Receive(buffer.Mdl(), buffer.Size());
    EXPECT_EQ(receive.Wait(), STATUS_CONNECTION_INVALID);
}

TEST_F(TdiDataTest, EmptyTransfers)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    LockedBuffer buffer(8);
    TdiRequest send(endpoint_);
    EXPECT_EQ(send.Send(buffer.Mdl(), 0, 0), STATUS_SUCCESS);
    EXPECT_EQ(send.Information(), 0u);
    TdiRequest receive(endpoint_);
    EXPECT_EQ(receive.Receive(buffer.Mdl(), 0), STATUS_INVALID_PARAMETER);
}

TEST_F(TdiDataTest, ReceivesQueueInOrder)
{
    ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
    LockedBuffer first(2);
    LockedBuffer second(2);
    TdiRequest one(endpoint_);
    TdiRequest two(endpoint_);
    EXPECT_EQ(one.Receive(first.Mdl(), first.Size()), STATUS_PENDING);
    EXPECT_EQ(two.Receive(second.Mdl(), second.Size()), STATUS_PENDING);
    ASSERT_TRUE(zel::test::SendAll(peer_.Get(), "abcd"));
    ASSERT_EQ(one.Wait(), STATUS_SUCCESS);
    ASSERT_EQ(two.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(first.Text(2), "ab");
    EXPECT_EQ(second.Text(2), "cd");
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
        return receives.back()->Receive(buffers.back()->Mdl(), 2);
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
        in_ = std::make_unique<LockedBuffer>(kChunk);
        ASSERT_NO_FATAL_FAILURE(OpenAndConnect());
        pattern_ = Pattern(10 * kChunk + 123);
        ASSERT_TRUE(zel::test::SendAll(peer_.Get(), pattern_));
    }

    void TearDown() override
    {
        in_.reset();  // its MDL goes while the kernel runs
        TdiTest::TearDown();
    }

    // One receive of kChunk bytes (or the flags' kind); what it got.
    std::string ReceiveChunk(ULONG flags = TDI_RECEIVE_NORMAL)
    {
        TdiRequest receive(endpoint_);
        receive.Receive(in_->Mdl(), kChunk, flags);
        EXPECT_EQ(receive.Wait(), STATUS_SUCCESS);
        return in_->Text(receive.Information());
    }

    std::string pattern_;
    std::unique_ptr<LockedBuffer> in_;
};

TEST_F(TdiReadAheadTest, EveryByteArrivesInOrderAndThenTheEnd)
{
    ASSERT_EQ(shutdown(peer_.Get(), SHUT_WR), 0);
    // The end: a receive with nothing, or, once the transport has seen the
    // peer's close, a refused one.
    std::string got;
    for (;;) {
        TdiRequest receive(endpoint_);
        receive.Receive(in_->Mdl(), kChunk);
        const NTSTATUS status = receive.Wait();
        if (status == STATUS_CONNECTION_INVALID ||
            (status == STATUS_SUCCESS && receive.Information() == 0)) {
            break;
        }
        ASSERT_EQ(status, STATUS_SUCCESS);
        got += in_->Text(receive.Information());
        ASSERT_LE(got.size(), pattern_.size());
    }
    EXPECT_TRUE(got == pattern_);
    EXPECT_EQ(events_->WaitForDisconnect(), STATUS_SUCCESS);
}

TEST_F(TdiReadAheadTest, AReceivePostedWhileBytesAreReadAheadCompletesInTheCallersCall)
{
    // Every byte is in the socket first, so the second receive surely reads
    // ahead.
    LockedBuffer all(pattern_.size());
    ASSERT_TRUE(zel::test::Eventually([&] {
        TdiRequest peek(endpoint_);
        peek.Receive(all.Mdl(), all.Size(), TDI_RECEIVE_PEEK);
        return peek.Wait() == STATUS_SUCCESS && peek.Information() == pattern_.size();
    }));
    std::string got = ReceiveChunk();
    got += ReceiveChunk();
    TdiRequest third(endpoint_);
    EXPECT_EQ(third.Receive(in_->Mdl(), kChunk), STATUS_SUCCESS);
    EXPECT_EQ(third.CompletionThread(), std::this_thread::get_id());
    got += in_->Text(third.Information());
    EXPECT_EQ(got, pattern_.substr(0, got.size()));
    EXPECT_EQ(got.size(), 3 * kChunk);
}

TEST_F(TdiReadAheadTest, APeekLeavesTheBytesForTheNextReceive)
{
    std::string got = ReceiveChunk();
    got += ReceiveChunk();
    const std::string peeked = ReceiveChunk(TDI_RECEIVE_PEEK);
    ASSERT_FALSE(peeked.empty());
    const std::string taken = ReceiveChunk();
    EXPECT_EQ(taken.substr(0, peeked.size()), peeked);
    got += taken;
    EXPECT_EQ(got, pattern_.substr(0, got.size()));
}

TEST_F(TdiReadAheadTest, TheReceiveHandlerIsShownTheBytesAfterTheLastReceive)
{
    std::string got = ReceiveChunk();
    got += ReceiveChunk();
    ASSERT_EQ(got, pattern_.substr(0, got.size()));
    // Declined, the bytes are offered once after each receive; the last
    // offer starts where the last receive ended.
    ASSERT_TRUE(zel::test::Eventually([&] {
        const auto offers = events_->Receives();
        return !offers.empty() && offers.back().Data.size() >= 1 &&
               offers.back().Data == pattern_.substr(got.size(), offers.back().Data.size());
    }));
    const auto last = events_->Receives().back();
    EXPECT_EQ(last.Indicated, last.Data.size());
    EXPECT_GE(last.Available, last.Indicated);
    EXPECT_EQ(ReceiveChunk(), pattern_.substr(got.size(), kChunk));
}

}  // namespace
}  // namespace hosttest
