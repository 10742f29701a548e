// An endpoint's connection state: how a connection opens, half-closes,
// fails and ends, and which socket events the reactor watches for it.
#include "tcp_endpoint.h"

#include <tdikrnl.h>

#include <sys/epoll.h>

namespace host {

void TcpEndpoint::BeginOpen()
{
    link_ = Link::Open;
    localShut_ = false;
    peerShut_ = false;
    indicated_ = false;
    held_ = false;
    readAhead_.Clear();
}

void TcpEndpoint::ShutDownSending()
{
    localShut_ = true;
    if (peerShut_) {
        EndLink();
    }
    UpdateWatch();
}

// The peer's FIN has been read: a posted receive ends with 0 bytes first,
// then the client hears of the graceful disconnect.
void TcpEndpoint::PeerClosed(TcpActions& actions)
{
    peerShut_ = true;
    CompleteAll(receives_, STATUS_SUCCESS, actions);
    if (!indicated_) {
        indicated_ = true;
        actions.IndicateDisconnect(address_, context_, TDI_DISCONNECT_RELEASE);
    }
    if (localShut_) {
        EndLink();
    }
}

// The connection broke (a reset, or an error): pending requests fail with
// the status first, then the client hears of the abortive disconnect.
void TcpEndpoint::Fail(NTSTATUS status, TcpActions& actions)
{
    CompleteAll(status, actions);
    if (!indicated_) {
        indicated_ = true;
        actions.IndicateDisconnect(address_, context_, TDI_DISCONNECT_ABORT);
    }
    EndLink();
}

// The client's own abort: a reset, and no indication back to the client.
void TcpEndpoint::Abort(NTSTATUS status, TcpActions& actions)
{
    CompleteAll(status, actions);
    indicated_ = true;
    DropSocket(true);
    link_ = Link::Ended;
}

void TcpEndpoint::EndLink()
{
    DropSocket(false);
    link_ = Link::Ended;
}

void TcpEndpoint::DropSocket(bool reset)
{
    readAhead_.Clear();
    if (!socket_.Valid()) {
        return;
    }
    if (watched_) {
        reactor_.Unwatch(socket_.Fd());
        watched_ = false;
    }
    if (reset) {
        socket_.Abort();
    } else {
        socket_.Close();
    }
}

void TcpEndpoint::CompleteAll(NTSTATUS status, TcpActions& actions)
{
    for (RequestQueue* queue : {&connects_, &sends_, &disconnects_, &receives_}) {
        CompleteAll(*queue, status, actions);
    }
}

// Requests being cancelled stay for their cancel routine.
void TcpEndpoint::CompleteAll(RequestQueue& queue, NTSTATUS status, TcpActions& actions)
{
    RequestQueue kept;
    for (TcpRequest& request : queue) {
        if (Claim(request)) {
            actions.Complete(std::move(request), status);
        } else {
            kept.push_back(std::move(request));
        }
    }
    queue.swap(kept);
}

// The claimed head waits again.
void TcpEndpoint::GiveBack(RequestQueue& queue, TcpActions& actions)
{
    if (!Unclaim(queue.front())) {
        actions.Complete(std::move(queue.front()), STATUS_CANCELLED);
        queue.pop_front();
    }
}

void TcpEndpoint::UpdateWatch()
{
    if (!socket_.Valid()) {
        return;
    }
    const std::optional<std::uint32_t> wanted = WantedEvents();
    if (!wanted) {
        if (watched_) {
            reactor_.Unwatch(socket_.Fd());
            watched_ = false;
        }
        return;
    }
    if (!watched_ || *wanted != watchedEvents_) {
        reactor_.Watch(id_, socket_.Fd(), *wanted);
        watched_ = true;
        watchedEvents_ = *wanted;
    }
}

// Edge-triggered: each arrival, each freeing of send room after a send
// found the socket full, a connect's end, an error and a hang-up are
// reported once. Nothing needs a report again: whatever the client does
// next (a receive posted, a send queued) kicks the reactor, and bytes left
// in the socket are read then. So the watch never changes while the
// connection is open.
std::optional<std::uint32_t> TcpEndpoint::WantedEvents() const
{
    if (link_ == Link::Connecting) {
        return EPOLLOUT | EPOLLET;
    }
    if (link_ != Link::Open) {
        return std::nullopt;
    }
    return EPOLLIN | EPOLLOUT | EPOLLET;
}

}  // namespace host
