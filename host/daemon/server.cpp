#include "server.h"

#include <sys/epoll.h>
#include <signal.h>
#include <string.h>

namespace zelvcomd {
namespace {

// Threads that dispatch requests; each may be held for seconds by a
// dispatch routine, and a pended request holds none.
constexpr std::size_t kWorkerThreads = 8;
constexpr std::size_t kMaxClients = 256;
constexpr std::uint32_t kReadable = EPOLLIN | EPOLLRDHUP;

std::string Client(const std::shared_ptr<ClientSession>& session)
{
    return "client " + std::to_string(session->Id());
}

}  // namespace

Server::Server(host::Kernel& kernel, Logger& log, DeviceWatch& watch, UnixListener& listener,
               SignalWatch& signals)
    : log_(log),
      watch_(watch),
      listener_(listener),
      signals_(signals),
      executor_(kernel, log, watch, activity_),
      workers_(kWorkerThreads)
{
    epoll_.Add(listener_.Fd(), EPOLLIN);
    epoll_.Add(signals_.Fd(), EPOLLIN);
    epoll_.Add(wake_.Fd(), EPOLLIN);
}

void Server::Run()
{
    while (!stopping_) {
        for (const epoll_event& event : epoll_.Wait()) {
            const int fd = event.data.fd;
            if (fd == signals_.Fd()) {
                if (const int signal = signals_.Take(); signal != 0) Shutdown(signal);
            } else if (fd == listener_.Fd()) {
                Accept();
            } else if (fd == wake_.Fd()) {
                FlushQueued();
            } else {
                OnClient(fd, event.events);
            }
            if (stopping_) break;
        }
    }
}

void Server::Accept()
{
    zelipc::UniqueFd socket = listener_.Accept();
    if (!socket.Valid()) {
        return;
    }
    if (sessions_.size() >= kMaxClients) {
        log_.Warning("refused a client: already " + std::to_string(kMaxClients) + " connected");
        return;
    }
    auto session = std::make_shared<ClientSession>(nextClientId_++, std::move(socket), wake_);
    epoll_.Add(session->Fd(), kReadable);
    sessions_.emplace(session->Fd(), session);
    log_.Info(Client(session) + " connected (pid " + std::to_string(session->PeerProcess()) + ")");
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
        Admit(session, request);
    }
    if (received == ClientSession::Received::Closed) {
        Disconnect(session, host::LogLevel::Info, "gone");
    } else if (received == ClientSession::Received::Violation) {
        Disconnect(session, host::LogLevel::Warning, "protocol error (" + reason + "), connection closed");
    }
}

// Hello is answered here; everything else goes to a worker, within the
// client's limit of requests in flight.
void Server::Admit(const std::shared_ptr<ClientSession>& session, const zelipc::Request& request)
{
    zelipc::Reply reply;
    reply.Id = request.Id;
    if (std::holds_alternative<zelipc::HelloRequest>(request.Body)) {
        reply.Status = STATUS_SUCCESS;
        reply.Information = zelipc::kVersion;
        session->QueueReply(reply);
        return;
    }
    if (!session->TryBeginRequest()) {
        reply.Status = STATUS_INSUFFICIENT_RESOURCES;
        session->QueueReply(reply);
        return;
    }
    activity_.Begin();
    workers_.Post([this, session, request] { executor_.Execute(session, request); });
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
        Disconnect(session, host::LogLevel::Warning, "does not read its replies, connection closed");
        return;
    }
    const auto flushed = session->Flush();
    if (flushed == ClientSession::Flushed::Failed) {
        Disconnect(session, host::LogLevel::Info, "gone");
        return;
    }
    const bool blocked = flushed == ClientSession::Flushed::Blocked;
    if (blocked != session->WatchingWritable()) {
        epoll_.Modify(session->Fd(), blocked ? kReadable | EPOLLOUT : kReadable);
        session->SetWatchingWritable(blocked);
    }
}

// The session by value: the caller's may be the one in sessions_.
void Server::Disconnect(std::shared_ptr<ClientSession> session, host::LogLevel level,
                        const std::string& why)
{
    epoll_.Remove(session->Fd());
    sessions_.erase(session->Fd());
    session->Disconnect();
    log_.Write(level, Client(session) + " " + why);
    workers_.Post([this, session] { executor_.Teardown(session); });
}

void Server::Shutdown(int signal)
{
    log_.Info(std::string("stopping on ") + strsignal(signal));
    stopping_ = true;
    epoll_.Remove(listener_.Fd());
    listener_.Close();
    while (!sessions_.empty()) {
        Disconnect(sessions_.begin()->second, host::LogLevel::Info, "disconnected");
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
    return found != sessions_.end() ? found->second : nullptr;
}

}  // namespace zelvcomd
