// A connection endpoint's dispatch side and connection state: each request
// is checked against the connection's state, then completed at once or
// queued for the reactor; and how a connection opens, half-closes, fails
// and ends, and which socket events the reactor watches for it.
#include "tcp_endpoint.h"

#include "tcp_socket.h"
#include "verifier.h"
#include "verifier_rules.h"

#include <tdikrnl.h>

#include <sys/epoll.h>

#include <cerrno>

namespace host {

TcpEndpoint::TcpEndpoint(Reactor& reactor, PDEVICE_OBJECT device, CONNECTION_CONTEXT context)
    : reactor_(reactor), device_(device), context_(context)
{
}

void TcpEndpoint::Start()
{
    id_ = reactor_.Add(weak_from_this());
}

NTSTATUS TcpEndpoint::Associate(std::shared_ptr<TcpAddress> address)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (address_ != nullptr) {
        return STATUS_ADDRESS_ALREADY_ASSOCIATED;
    }
    address_ = std::move(address);
    return STATUS_SUCCESS;
}

NTSTATUS TcpEndpoint::Disassociate()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (address_ == nullptr) {
        return STATUS_ADDRESS_NOT_ASSOCIATED;
    }
    if (link_ == Link::Connecting || link_ == Link::Open) {
        return STATUS_CONNECTION_ACTIVE;
    }
    address_.reset();
    return STATUS_SUCCESS;
}

NTSTATUS TcpEndpoint::Connect(TcpRequest request, const sockaddr_in& remote)
{
    TcpActions actions;
    std::unique_lock<std::mutex> lock(mutex_);
    if (address_ == nullptr || address_->Closed()) {
        return Finish(lock, actions, std::move(request), STATUS_ADDRESS_NOT_ASSOCIATED);
    }
    if (Busy()) {
        return Finish(lock, actions, std::move(request), STATUS_CONNECTION_ACTIVE);
    }
    RetireConnection(actions);
    return StartConnect(lock, actions, std::move(request), remote);
}

NTSTATUS TcpEndpoint::StartConnect(std::unique_lock<std::mutex>& lock, TcpActions& actions,
                                   TcpRequest request, const sockaddr_in& remote)
{
    int result = socket_.Open(address_->Local());
    if (result == 0) {
        result = socket_.Connect(remote);
    }
    if (result == 0) {
        BeginOpen();
        UpdateWatch();
        return Finish(lock, actions, std::move(request), STATUS_SUCCESS);
    }
    if (result != -EINPROGRESS) {
        DropSocket(false);
        return Finish(lock, actions, std::move(request), StatusFromErrno(-result));
    }
    link_ = Link::Connecting;
    if (request.Deadline) {
        reactor_.WakeAt(id_, *request.Deadline);
    }
    return Admit(lock, actions, connects_, std::move(request));
}

NTSTATUS TcpEndpoint::Disconnect(TcpRequest request)
{
    TcpActions actions;
    std::unique_lock<std::mutex> lock(mutex_);
    const bool abort = (request.Flags & TDI_DISCONNECT_ABORT) != 0;
    if (link_ == Link::Connecting || (link_ == Link::Open && abort)) {
        Abort(STATUS_CONNECTION_ABORTED, actions);
        return Finish(lock, actions, std::move(request), STATUS_SUCCESS);
    }
    if (link_ != Link::Open) {
        return Finish(lock, actions, std::move(request), STATUS_CONNECTION_INVALID);
    }
    return Release(lock, actions, std::move(request));
}

// A graceful disconnect: our FIN goes after every send queued before it.
NTSTATUS TcpEndpoint::Release(std::unique_lock<std::mutex>& lock, TcpActions& actions,
                              TcpRequest request)
{
    if (localShut_) {
        return Finish(lock, actions, std::move(request), STATUS_SUCCESS);
    }
    if (!sends_.empty() || !disconnects_.empty()) {
        if (request.Deadline) {
            reactor_.WakeAt(id_, *request.Deadline);
        }
        return Admit(lock, actions, disconnects_, std::move(request));
    }
    const int result = socket_.ShutdownSend();
    if (result != 0) {
        // The connection is broken; the reactor finds out how and says so.
        reactor_.Kick(id_);
        return Finish(lock, actions, std::move(request), StatusFromErrno(-result));
    }
    ShutDownSending();
    return Finish(lock, actions, std::move(request), STATUS_SUCCESS);
}

NTSTATUS TcpEndpoint::Send(TcpRequest request)
{
    TcpActions actions;
    std::unique_lock<std::mutex> lock(mutex_);
    // Once either side has closed, or a disconnect waits, nothing more goes out.
    if (link_ != Link::Open || localShut_ || peerShut_ || !disconnects_.empty()) {
        return Finish(lock, actions, std::move(request), STATUS_CONNECTION_INVALID);
    }
    if (request.Transfer.Length() == 0) {
        return Finish(lock, actions, std::move(request), STATUS_SUCCESS);
    }
    // Nothing queued ahead: the bytes go out from the caller's thread, and
    // only what the socket cannot take now waits for the reactor. A failure
    // is left to the reactor, which sees it again and fails the connection.
    if (sends_.empty()) {
        const ssize_t sent = socket_.Send(request.Transfer.Remaining());
        if (sent > 0) {
            request.Transfer.Advance(static_cast<ULONG>(sent));
        }
        if (request.Transfer.Finished()) {
            return Finish(lock, actions, std::move(request), STATUS_SUCCESS);
        }
    }
    return Admit(lock, actions, sends_, std::move(request));
}

NTSTATUS TcpEndpoint::Receive(TcpRequest request)
{
    TcpActions actions;
    std::unique_lock<std::mutex> lock(mutex_);
    if (link_ != Link::Open || peerShut_) {
        return Finish(lock, actions, std::move(request), STATUS_CONNECTION_INVALID);
    }
    // Data the receive handler declined goes to this receive.
    held_ = false;
    if (receives_.empty() && !readAhead_.Empty()) {
        // Bytes an earlier read took are here already: the receive completes
        // at once, and the reactor looks at what is left.
        request.Transfer.Advance(
            static_cast<ULONG>(readAhead_.CopyTo(request.Transfer.Remaining())));
        reactor_.Kick(id_);
        return Finish(lock, actions, std::move(request), STATUS_SUCCESS);
    }
    return Admit(lock, actions, receives_, std::move(request));
}

void TcpEndpoint::Cancel(PIRP irp)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::optional<TcpRequest> request = TakeAnywhere(irp);
        // Always found: a request leaves its queue only once claimed, and a
        // claimed request has no cancel routine to call.
        if (!request) {
            return;
        }
        ForgetConnect(*request);
        cancelled_.push_back(std::move(*request));
        UpdateWatch();
    }
    reactor_.Kick(id_);
}

void TcpEndpoint::Close()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        RequireNothingPending();
        closed_ = true;
        DropSocket(link_ == Link::Open && !localShut_);
        link_ = Link::Idle;
        address_.reset();
    }
    reactor_.Remove(id_);
}

NTSTATUS TcpEndpoint::Finish(std::unique_lock<std::mutex>& lock, TcpActions& actions,
                             TcpRequest request, NTSTATUS status)
{
    actions.Complete(std::move(request), status);
    lock.unlock();
    actions.Run();
    return status;
}

NTSTATUS TcpEndpoint::Admit(std::unique_lock<std::mutex>& lock, TcpActions& actions,
                            RequestQueue& queue, TcpRequest request)
{
    PIRP irp = request.Irp;
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelTransportRequest);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        ForgetConnect(request);
        actions.Complete(std::move(request), STATUS_CANCELLED);
    } else {
        queue.push_back(std::move(request));
    }
    lock.unlock();
    actions.Run();
    reactor_.Kick(id_);
    return STATUS_PENDING;
}

// Connecting, or connected and not yet closed at both sides: like tcpip, a
// connection whose peer has closed still holds the endpoint until the client
// disconnects too (gracefully, or with an abort).
bool TcpEndpoint::Busy() const
{
    return link_ == Link::Connecting || link_ == Link::Open;
}

// Before a new connect: the last connection's leftovers go.
void TcpEndpoint::RetireConnection(TcpActions& actions)
{
    CompleteAll(STATUS_CONNECTION_ABORTED, actions);
    DropSocket(false);
    link_ = Link::Idle;
}

// A connect that will not complete normally takes its attempt with it.
void TcpEndpoint::ForgetConnect(const TcpRequest& request)
{
    if (request.Kind == RequestKind::Connect && link_ == Link::Connecting) {
        DropSocket(true);
        link_ = Link::Idle;
    }
}

std::optional<TcpRequest> TcpEndpoint::TakeAnywhere(PIRP irp)
{
    for (RequestQueue* queue : {&connects_, &disconnects_, &sends_, &receives_}) {
        if (std::optional<TcpRequest> request = TakeRequest(*queue, irp)) {
            return request;
        }
    }
    return std::nullopt;
}

void TcpEndpoint::RequireNothingPending() const
{
    std::string pending;
    for (const RequestQueue* queue :
         {&connects_, &disconnects_, &sends_, &receives_, &cancelled_}) {
        for (const TcpRequest& request : *queue) {
            pending += (pending.empty() ? "" : ", ") + std::string(KindName(request.Kind));
        }
    }
    if (!pending.empty()) {
        verifier::BugCheck(
            rule::kIoManagerViolation,
            "file object of a \\Device\\Tcp connection endpoint freed while requests on it "
            "are pending: " +
                pending);
    }
}

// Connection state, shared by the dispatch and reactor sides.

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
