#include "server.h"

#include <sys/epoll.h>
#include <signal.h>
#include <string.h>

#include <algorithm>

namespace zelvcomd {
namespace {

// Threads that stay to dispatch requests. A dispatch routine may hold one
// for seconds (a pended request holds none); while all are held more
// start, and the device queues keep it to one per device.
constexpr std::size_t kResidentWorkers = 8;
constexpr std::size_t kMaxClients = 256;
// Connections yet to say Hello, apart from the clients: past this many,
// the one that has waited longest makes room for the newest.
constexpr std::size_t kMaxAwaitingHello = 256;
constexpr std::uint32_t kReadable = EPOLLIN | EPOLLRDHUP;

std::string Client(const std::shared_ptr<ClientSession>& session)
{
    return "client " + std::to_string(session->Id());
}

}  // namespace

Server::Server(host::Kernel& kernel, Logger& log, DeviceWatch& watch, PortLedger& ledger,
               zel::UnixListener& listener, zel::SignalWatch& signals,
               std::chrono::seconds helloTimeout, std::function<void()> onHangup)
    : log_(log),
      watch_(watch),
      listener_(listener),
      signals_(signals),
      onHangup_(std::move(onHangup)),
      listenerWatch_(loop_, listener_.Fd(), EPOLLIN, [this](std::uint32_t) { Accept(); }),
      signalWatch_(loop_, signals_.Fd(), EPOLLIN,
                   [this](std::uint32_t) {
                       const int signal = signals_.Take();
                       if (signal == SIGHUP)
                           onHangup_();
                       else if (signal != 0)
                           Shutdown(signal);
                   }),
      wakeWatch_(loop_, wake_.Fd(), EPOLLIN, [this](std::uint32_t) { FlushQueued(); }),
      executor_(kernel, log, watch, activity_, ledger),
      helloTimeout_(helloTimeout),
      workers_(kResidentWorkers)
{
}

void Server::Run()
{
    do {
        loop_.RunOnce(MillisecondsToNextHello());
        CloseSilentConnections();
    } while (loop_.Running());
}

void Server::Accept()
{
    zel::UniqueFd socket = listener_.Accept();
    if (!socket.Valid()) {
        return;
    }
    if (greeted_ >= kMaxClients) {
        log_.Warning("refused a client: already " + std::to_string(kMaxClients) + " connected");
        return;
    }
    if (awaitingHello_.size() >= kMaxAwaitingHello) {
        Disconnect(awaitingHello_.front().Session, host::LogLevel::Warning,
                   "has not said Hello and makes room for a new connection, connection closed");
    }
    auto session = std::make_shared<ClientSession>(nextClientId_++, std::move(socket), wake_);
    const int fd = session->Fd();
    zel::EventLoop::Watch watch(loop_, fd, kReadable,
                                [this, fd](std::uint32_t events) { OnClient(fd, events); });
    sessions_.emplace(fd, Connected{session, std::move(watch)});
    awaitingHello_.push_back({session, Clock::now() + helloTimeout_});
    log_.Debug(Client(session) + " connected (pid " + std::to_string(session->PeerProcess()) + ")");
}

void Server::OnClient(int fd, std::uint32_t events)
{
    const auto session = Find(fd);
    if (session == nullptr) {
        return;
    }
    if ((events & EPOLLOUT) != 0) {
        Flush(session);
    }
    if ((events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) == 0 || Find(fd) != session) {
        return;
    }
    std::vector<zelipc::Request> requests;
    std::string reason;
    const auto received = session->Receive(&requests, &reason);
    for (const auto& request : requests) {
        if (!Admit(session, request, &reason)) {
            ProtocolError(session, reason);
            return;
        }
        if (Find(fd) != session) {
            return;  // refused at its Hello
        }
    }
    if (received == ClientSession::Received::Closed) {
        Disconnect(session, host::LogLevel::Debug, "gone");
    } else if (received == ClientSession::Received::Violation) {
        ProtocolError(session, reason);
    }
}

// Hello is answered here; everything else waits in its device's queue
// (RequestExecutor::QueueOf), within the client's limit of requests in
// flight. One queue per device, not per client or handle: what blocks is a
// device (its module stalled or out of reach), and the driver serialises
// much of a device's work anyway (a port's writes, a module's frames), so a
// second thread for it would only wait. The pool grows to give each device
// with work its thread, so no device, and no client, holds up another.
bool Server::Admit(const std::shared_ptr<ClientSession>& session, const zelipc::Request& request,
                   std::string* reason)
{
    zelipc::Reply reply;
    reply.Id = request.Id;
    Connected& connected = sessions_.at(session->Fd());
    if (std::holds_alternative<zelipc::HelloRequest>(request.Body)) {
        if (!connected.Greeted) {
            if (greeted_ >= kMaxClients) {
                Disconnect(session, host::LogLevel::Warning,
                           "refused: already " + std::to_string(kMaxClients) + " clients");
                return true;
            }
            StopAwaitingHello(session);
            connected.Greeted = true;
            ++greeted_;
        }
        reply.Status = STATUS_SUCCESS;
        reply.Information = zelipc::kVersion;
        session->QueueReply(reply);
        return true;
    }
    if (!connected.Greeted) {
        *reason = "a request before Hello";
        return false;
    }
    switch (session->Handles().Begin(request.Id, RequestExecutor::IoHandleOf(request))) {
    case SessionHandles::Admission::IdInUse:
        *reason = "request id " + std::to_string(request.Id) + " is already in flight";
        return false;
    case SessionHandles::Admission::TooMany:
        reply.Status = STATUS_INSUFFICIENT_RESOURCES;
        session->QueueReply(reply);
        return true;
    case SessionHandles::Admission::Admitted:
        break;
    }
    activity_.Begin();
    workers_.Post(executor_.QueueOf(session, request),
                  [this, session, request] { executor_.Execute(session, request); });
    return true;
}

// Takes the connection off the list of those yet to say Hello.
void Server::StopAwaitingHello(const std::shared_ptr<ClientSession>& session)
{
    const auto found = std::find_if(
        awaitingHello_.begin(), awaitingHello_.end(),
        [&session](const AwaitingHello& waiting) { return waiting.Session == session; });
    if (found != awaitingHello_.end()) {
        awaitingHello_.erase(found);
    }
}

int Server::MillisecondsToNextHello() const
{
    if (awaitingHello_.empty()) {
        return zel::EventLoop::kWaitForever;
    }
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(awaitingHello_.front().Due - Clock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, left.count()));
}

void Server::CloseSilentConnections()
{
    const auto now = Clock::now();
    while (!awaitingHello_.empty() && awaitingHello_.front().Due <= now) {
        Disconnect(awaitingHello_.front().Session, host::LogLevel::Info,
                   "said no Hello within " + std::to_string(helloTimeout_.count()) +
                       " s, connection closed");
    }
}

void Server::ProtocolError(const std::shared_ptr<ClientSession>& session, const std::string& reason)
{
    Disconnect(session, host::LogLevel::Warning,
               "protocol error (" + reason + "), connection closed");
}

void Server::FlushQueued()
{
    for (const auto& session : wake_.Take()) {
        if (Find(session->Fd()) == session) {
            Flush(session);
        }
    }
}

void Server::Flush(const std::shared_ptr<ClientSession>& session)
{
    if (session->Overflowed()) {
        Disconnect(session, host::LogLevel::Warning,
                   "does not read its replies, connection closed");
        return;
    }
    const auto flushed = session->Flush();
    if (flushed == ClientSession::Flushed::Failed) {
        Disconnect(session, host::LogLevel::Debug, "gone");
        return;
    }
    const bool blocked = flushed == ClientSession::Flushed::Blocked;
    if (blocked != session->WatchingWritable()) {
        sessions_.at(session->Fd()).Watch.SetEvents(blocked ? kReadable | EPOLLOUT : kReadable);
        session->SetWatchingWritable(blocked);
    }
}

// The session by value: the caller's may be the one in sessions_.
void Server::Disconnect(std::shared_ptr<ClientSession> session, host::LogLevel level,
                        const std::string& why)
{
    const auto found = sessions_.find(session->Fd());
    if (found->second.Greeted) {
        --greeted_;
    } else {
        StopAwaitingHello(session);
    }
    sessions_.erase(found);
    session->Disconnect();
    log_.Write(level, Client(session) + " " + why);
    workers_.Post(nullptr, [this, session] { executor_.Teardown(session); });
}

void Server::Shutdown(int signal)
{
    log_.Info(std::string("stopping on ") + strsignal(signal));
    loop_.Stop();
    listenerWatch_ = {};
    listener_.Close();
    while (!sessions_.empty()) {
        Disconnect(sessions_.begin()->second.Session, host::LogLevel::Info, "disconnected");
    }
    workers_.WaitIdle();
    if (const auto active = activity_.Active(); active != 0) {
        log_.Info("waiting for " + std::to_string(active) + " cancelled request(s) to complete");
    }
    activity_.WaitIdle();
}

std::shared_ptr<ClientSession> Server::Find(int fd) const
{
    const auto found = sessions_.find(fd);
    return found != sessions_.end() ? found->second.Session : nullptr;
}

}  // namespace zelvcomd
