// The reactor side of an endpoint: connects finish, data moves, graceful
// disconnects wait for the sends before them, the peer's close and errors
// are noticed, and data nobody asked for is offered to the receive handler.
// Runs on the reactor thread at DISPATCH_LEVEL. Also the read-ahead that
// serves receives from bytes already read.
#include "tcp_endpoint.h"

#include "tcp_address.h"
#include "tcp_socket.h"

#include <sys/epoll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace host {
namespace {

bool Expired(const TcpEndpoint::Deadline& deadline)
{
    return deadline && Reactor::Clock::now() >= *deadline;
}

NTSTATUS FromNegatedErrno(ssize_t result)
{
    return StatusFromErrno(static_cast<int>(-result));
}

NTSTATUS ConnectStatus(TcpSocket::Progress progress, int error)
{
    switch (progress) {
    case TcpSocket::Progress::Connected:
        return STATUS_SUCCESS;
    case TcpSocket::Progress::Failed:
        return StatusFromErrno(error);
    case TcpSocket::Progress::Pending:
        break;
    }
    return STATUS_IO_TIMEOUT;
}

}  // namespace

void TcpEndpoint::Service(std::uint32_t events)
{
    TcpActions actions;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (TcpRequest& request : cancelled_) {
            actions.Complete(std::move(request), STATUS_CANCELLED);
        }
        cancelled_.clear();
        if (closed_) {
            return;
        }
        Progress(events, actions);
        UpdateWatch();
    }
    // Completions first: their routines may post the receive the data is for.
    actions.Run();
    OfferIfDue();
}

void TcpEndpoint::Progress(std::uint32_t events, TcpActions& actions)
{
    // The events may have been gathered for the socket of the connection
    // before, replaced since (a disconnect and a new connect between the
    // reactor's wait and this round): a hang-up counts only when the socket
    // there is now reports it.
    if ((events & EPOLLHUP) != 0 && !socket_.HungUp()) {
        events &= ~static_cast<std::uint32_t>(EPOLLHUP);
    }
    if (link_ == Link::Connecting) {
        ProgressConnect(events, actions);
    }
    if (link_ != Link::Open || CheckError(events, actions)) {
        return;
    }
    ProgressSends(actions);
    if (link_ == Link::Open) {
        ProgressRelease(actions);
    }
    if (link_ == Link::Open) {
        ProgressReceives(actions);
    }
}

void TcpEndpoint::ProgressConnect(std::uint32_t events, TcpActions& actions)
{
    TcpRequest* connect = LiveHead(connects_);
    if (connect == nullptr) {
        return;
    }
    int error = 0;
    TcpSocket::Progress progress = socket_.ConnectProgress(&error);
    if (progress == TcpSocket::Progress::Pending && (events & EPOLLHUP) != 0) {
        // Hung up without an error: no connection will come of it.
        progress = TcpSocket::Progress::Failed;
        error = ECONNABORTED;
    }
    if ((progress == TcpSocket::Progress::Pending && !Expired(connect->Deadline)) ||
        !Claim(*connect)) {
        return;
    }
    const NTSTATUS status = ConnectStatus(progress, error);
    if (NT_SUCCESS(status)) {
        BeginOpen();
    } else {
        DropSocket(true);
        link_ = Link::Idle;
    }
    actions.Complete(std::move(connects_.front()), status);
    connects_.pop_front();
}

// True when the connection has failed.
bool TcpEndpoint::CheckError(std::uint32_t events, TcpActions& actions)
{
    if ((events & (EPOLLERR | EPOLLHUP)) == 0) {
        return false;
    }
    const int error = socket_.TakeError();
    if (error != 0) {
        Fail(StatusFromErrno(error), actions);
        return true;
    }
    // A hang-up before our own FIN: the connection is gone.
    if ((events & EPOLLHUP) != 0 && !localShut_) {
        Fail(STATUS_CONNECTION_RESET, actions);
        return true;
    }
    return false;
}

void TcpEndpoint::ProgressSends(TcpActions& actions)
{
    while (link_ == Link::Open) {
        TcpRequest* send = LiveHead(sends_);
        if (send == nullptr || !Claim(*send)) {
            return;
        }
        const ssize_t sent = socket_.Send(send->Transfer.Remaining());
        if (sent < 0 && sent != -EAGAIN) {
            Fail(FromNegatedErrno(sent), actions);
            return;
        }
        if (sent > 0) {
            send->Transfer.Advance(static_cast<ULONG>(sent));
        }
        if (!send->Transfer.Finished()) {
            GiveBack(sends_, actions);  // the socket is full: wait until it is writable
            return;
        }
        actions.Complete(std::move(*send), STATUS_SUCCESS);
        sends_.pop_front();
    }
}

void TcpEndpoint::ProgressRelease(TcpActions& actions)
{
    TcpRequest* release = LiveHead(disconnects_);
    if (release == nullptr) {
        return;
    }
    const bool drained = sends_.empty();
    if ((!drained && !Expired(release->Deadline)) || !Claim(*release)) {
        return;
    }
    TcpRequest request = std::move(*release);
    disconnects_.pop_front();
    if (!drained) {
        // The sends did not go out in time: the connection is given up.
        Abort(STATUS_CONNECTION_ABORTED, actions);
        actions.Complete(std::move(request), STATUS_IO_TIMEOUT);
        return;
    }
    const int result = socket_.ShutdownSend();
    if (result != 0) {
        actions.Complete(std::move(request), StatusFromErrno(-result));
        Fail(StatusFromErrno(-result), actions);
        return;
    }
    actions.Complete(std::move(request), STATUS_SUCCESS);
    CompleteAll(disconnects_, STATUS_SUCCESS, actions);
    ShutDownSending();
}

void TcpEndpoint::ProgressReceives(TcpActions& actions)
{
    while (link_ == Link::Open && !peerShut_) {
        TcpRequest* receive = LiveHead(receives_);
        if (receive == nullptr || !Claim(*receive)) {
            return;
        }
        const std::vector<iovec> room = receive->Transfer.Remaining();
        if (!readAhead_.Empty()) {
            // What an earlier read took comes first, without a system call.
            receive->Transfer.Advance(static_cast<ULONG>(readAhead_.CopyTo(room)));
            actions.Complete(std::move(*receive), STATUS_SUCCESS);
            receives_.pop_front();
            continue;
        }
        std::vector<iovec> buffers = room;
        const std::vector<iovec> spare = readAhead_.Spare();
        buffers.insert(buffers.end(), spare.begin(), spare.end());
        const ssize_t received = socket_.Receive(buffers);
        if (received == 0) {
            PeerClosed(actions);  // the claimed receive ends with 0 bytes
            return;
        }
        if (received == -EAGAIN) {
            GiveBack(receives_, actions);
            return;
        }
        if (received < 0) {
            Fail(FromNegatedErrno(received), actions);
            return;
        }
        // A receive completes with what has come, however little; what ran
        // on past it is kept for the next.
        const ULONG wanted = receive->Transfer.Length() - receive->Transfer.Done();
        const ULONG taken = std::min(static_cast<ULONG>(received), wanted);
        receive->Transfer.Advance(taken);
        if (static_cast<ULONG>(received) > taken) {
            readAhead_.Filled(static_cast<std::size_t>(received) - taken);
        } else if (taken == wanted) {
            readAhead_.Want();  // filled to its end: more is likely to follow
        }
        actions.Complete(std::move(*receive), STATUS_SUCCESS);
        receives_.pop_front();
    }
}

// Data with no receive posted is offered to the receive handler once per
// arrival; what it declines waits in the socket for the next receive.
void TcpEndpoint::OfferIfDue()
{
    TcpActions actions;
    std::optional<Offer> offer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_ || link_ != Link::Open || peerShut_ || held_ || !receives_.empty()) {
            return;
        }
        offer = PeekOffer(actions);
        UpdateWatch();
    }
    actions.Run();
    if (offer) {
        Indicate(*offer);
    }
}

std::optional<TcpEndpoint::Offer> TcpEndpoint::PeekOffer(TcpActions& actions)
{
    if (!readAhead_.Empty()) {
        // Bytes already read are what the handler is shown first.
        const std::size_t shown =
            std::min(readAhead_.Size(), static_cast<std::size_t>(kLookaheadBytes));
        lookahead_.assign(readAhead_.Data(), readAhead_.Data() + shown);
        held_ = true;
        const auto available = static_cast<ULONG>(readAhead_.Size() + socket_.Available());
        return Offer{address_, static_cast<ULONG>(shown), available};
    }
    lookahead_.resize(kLookaheadBytes);
    const ssize_t peeked = socket_.Peek(lookahead_.data(), lookahead_.size());
    if (peeked == -EAGAIN) {
        return std::nullopt;
    }
    if (peeked == 0) {
        PeerClosed(actions);
        return std::nullopt;
    }
    if (peeked < 0) {
        Fail(FromNegatedErrno(peeked), actions);
        return std::nullopt;
    }
    // Until the handler takes it all or a receive is posted, the data waits
    // and is not offered again, whatever else arrives.
    held_ = true;
    const auto indicated = static_cast<ULONG>(peeked);
    const auto available =
        static_cast<ULONG>(std::max<std::size_t>(socket_.Available(), indicated));
    return Offer{address_, indicated, available};
}

void TcpEndpoint::Indicate(const Offer& offer)
{
    if (offer.Address == nullptr) {
        return;
    }
    const ReceiveIndication result = IndicateReceive(*offer.Address, context_, offer.Indicated,
                                                     offer.Available, lookahead_.data());
    if (!result.Called) {
        return;
    }
    TcpActions actions;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Consume(result.Taken, actions);
        if (result.Taken == offer.Available && result.Irp == nullptr) {
            held_ = false;  // nothing is left: the next data is offered again
        }
        UpdateWatch();
    }
    actions.Run();
    if (result.Irp != nullptr) {
        // The handler's receive, built for this transport, takes the rest.
        IofCallDriver(device_, result.Irp);
    }
}

// The bytes the handler took leave the socket.
void TcpEndpoint::Consume(ULONG taken, TcpActions& actions)
{
    if (taken == 0 || closed_ || link_ != Link::Open) {
        return;
    }
    if (!readAhead_.Empty()) {
        // An offer shows either bytes already read or bytes in the socket.
        readAhead_.Consume(taken);
        return;
    }
    const std::vector<iovec> taking{iovec{lookahead_.data(), taken}};
    const ssize_t received = socket_.Receive(taking);
    if (received < 0 && received != -EAGAIN) {
        Fail(FromNegatedErrno(received), actions);
    }
}

std::vector<iovec> TcpReadAhead::Spare()
{
    if (!wanted_ || !Empty()) {
        return {};
    }
    buffer_.resize(kBytes);
    begin_ = end_ = 0;
    return {iovec{buffer_.data(), buffer_.size()}};
}

void TcpReadAhead::Filled(std::size_t bytes)
{
    end_ = begin_ + bytes;
}

std::size_t TcpReadAhead::CopyTo(const std::vector<iovec>& buffers)
{
    std::size_t copied = 0;
    for (const iovec& buffer : buffers) {
        const std::size_t piece = std::min(buffer.iov_len, Size() - copied);
        std::memcpy(buffer.iov_base, Data() + copied, piece);
        copied += piece;
    }
    Consume(copied);
    return copied;
}

void TcpReadAhead::Consume(std::size_t bytes)
{
    begin_ += std::min(bytes, Size());
}

void TcpReadAhead::Clear()
{
    buffer_ = std::vector<std::uint8_t>();
    begin_ = end_ = 0;
    wanted_ = false;
}

}  // namespace host
