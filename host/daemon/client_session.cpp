#include "client_session.h"

#include "wake_queue.h"

#include <zelvcom_ipc/codec.h>

#include <sys/socket.h>

#include <cerrno>

namespace zelvcomd {
namespace {

constexpr std::size_t kReceiveBlock = 64 * 1024;
// Replies a client may leave unread before it is cut off.
constexpr std::size_t kMaxOutboundBytes = 8 * 1024 * 1024;

pid_t PeerProcessOf(int fd)
{
    ucred credentials{};
    socklen_t size = sizeof credentials;
    return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 ? credentials.pid : 0;
}

}  // namespace

ClientSession::ClientSession(std::uint64_t id, zel::UniqueFd socket, SessionWakeQueue& wake)
    : id_(id),
      socket_(std::move(socket)),
      wake_(wake),
      peerProcess_(PeerProcessOf(socket_.Get())),
      receiveBlock_(kReceiveBlock)
{
}

ClientSession::Received ClientSession::Receive(std::vector<zelipc::Request>* requests,
                                               std::string* reason)
{
    const ssize_t got = recv(socket_.Get(), receiveBlock_.data(), receiveBlock_.size(), 0);
    if (got < 0) {
        return errno == EAGAIN || errno == EINTR ? Received::Open : Received::Closed;
    }
    if (got == 0) {
        return Received::Closed;
    }
    frames_.Append(receiveBlock_.data(), static_cast<std::size_t>(got));
    for (;;) {
        zelipc::Frame frame;
        switch (frames_.Next(&frame, reason)) {
        case zelipc::FrameStatus::NeedMore:
            return Received::Open;
        case zelipc::FrameStatus::Invalid:
            return Received::Violation;
        case zelipc::FrameStatus::Ready:
            if (!Decode(frame, requests, reason)) {
                return Received::Violation;
            }
            break;
        }
    }
}

bool ClientSession::Decode(const zelipc::Frame& frame, std::vector<zelipc::Request>* requests,
                           std::string* reason)
{
    if (!zelipc::IsRequestKind(frame.Head.MessageKind)) {
        *reason = "a reply sent to the daemon";
        return false;
    }
    auto request = zelipc::DecodeRequest(frame.Head, frame.Payload, reason);
    if (!request) {
        return false;
    }
    requests->push_back(std::move(*request));
    return true;
}

ClientSession::Flushed ClientSession::Flush()
{
    std::lock_guard<std::mutex> lock(outMutex_);
    wakeQueued_ = false;
    while (outboundSent_ < outbound_.size()) {
        const ssize_t sent = send(socket_.Get(), outbound_.data() + outboundSent_,
                                  outbound_.size() - outboundSent_, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return Flushed::Blocked;
        }
        if (sent <= 0) {
            return Flushed::Failed;
        }
        outboundSent_ += static_cast<std::size_t>(sent);
    }
    outbound_.clear();
    outboundSent_ = 0;
    return Flushed::Done;
}

bool ClientSession::Overflowed() const
{
    std::lock_guard<std::mutex> lock(outMutex_);
    return overflowed_;
}

void ClientSession::Disconnect()
{
    std::lock_guard<std::mutex> lock(outMutex_);
    disconnected_ = true;
    outbound_.clear();
    outboundSent_ = 0;
    shutdown(socket_.Get(), SHUT_RDWR);
}

void ClientSession::QueueReply(const zelipc::Reply& reply)
{
    const auto bytes = zelipc::EncodeReply(reply);
    {
        std::lock_guard<std::mutex> lock(outMutex_);
        if (disconnected_ || overflowed_) {
            return;
        }
        if (outbound_.size() - outboundSent_ + bytes.size() > kMaxOutboundBytes) {
            overflowed_ = true;
        } else {
            outbound_.insert(outbound_.end(), bytes.begin(), bytes.end());
        }
        if (wakeQueued_) {
            return;
        }
        wakeQueued_ = true;
    }
    wake_.Push(shared_from_this());
}

}  // namespace zelvcomd
