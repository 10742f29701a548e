#include "server_connection.h"

#include <zelvcom_ipc/codec.h>
#include <zelvcom_ipc/frame_reader.h>
#include <zelvcom_ipc/runtime_paths.h>

#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>

namespace zelwin32 {
namespace {

constexpr std::size_t kReceiveBlock = 64 * 1024;

bool SendAll(int fd, const std::vector<std::uint8_t>& bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t count = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(count);
    }
    return true;
}

CallResult ResultOf(zelipc::Reply reply)
{
    return {reply.Status, reply.Information, std::move(reply.Data)};
}

}  // namespace

std::shared_ptr<ServerConnection> ServerConnection::Connect()
{
    zel::UniqueFd socket = zelipc::ConnectClient();
    if (!socket.Valid()) {
        return nullptr;
    }
    auto connection = std::make_shared<ServerConnection>(std::move(socket));
    return connection->Greet() ? connection : nullptr;
}

ServerConnection::ServerConnection(zel::UniqueFd socket)
    : socket_(std::move(socket)), receiver_([this] { ReceiveReplies(); })
{
}

ServerConnection::~ServerConnection()
{
    shutdown(socket_.Get(), SHUT_RDWR);
    receiver_.join();
}

bool ServerConnection::Greet()
{
    const auto call = Start(zelipc::HelloRequest{static_cast<std::uint32_t>(getpid())});
    const CallResult& result = call->WaitResult();
    return IsSuccess(result.Status) && result.Information == zelipc::kVersion;
}

std::shared_ptr<PendingCall> ServerConnection::Start(std::uint64_t id, zelipc::RequestBody body,
                                                     PendingCall::Completion completion)
{
    auto call = std::make_shared<PendingCall>(std::move(completion));
    {
        std::lock_guard<std::mutex> lock(callsMutex_);
        if (!broken_) {
            calls_.emplace(id, call);
        }
    }
    if (Broken()) {
        if (Take(id, true) == nullptr) {
            CallResult gone;
            gone.Status = kStatusDaemonGone;
            call->Complete(std::move(gone));
        }
        return call;
    }
    const auto bytes = zelipc::EncodeRequest({id, std::move(body)});
    std::lock_guard<std::mutex> lock(sendMutex_);
    if (!SendAll(socket_.Get(), bytes)) {
        // The receiver sees the end too and fails every call, this one included.
        shutdown(socket_.Get(), SHUT_RDWR);
    }
    return call;
}

bool ServerConnection::Broken() const
{
    std::lock_guard<std::mutex> lock(callsMutex_);
    return broken_;
}

void ServerConnection::ReceiveReplies()
{
    zelipc::FrameReader frames;
    std::array<std::uint8_t, kReceiveBlock> block{};
    for (bool healthy = true; healthy;) {
        const ssize_t got = recv(socket_.Get(), block.data(), block.size(), 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        frames.Append(block.data(), static_cast<std::size_t>(got));
        zelipc::Frame frame;
        std::string error;
        zelipc::FrameStatus status = zelipc::FrameStatus::NeedMore;
        while (healthy && (status = frames.Next(&frame, &error)) == zelipc::FrameStatus::Ready) {
            auto reply = zelipc::DecodeReply(frame.Head, frame.Payload, &error);
            healthy = reply && Deliver(*reply);
        }
        healthy = healthy && status != zelipc::FrameStatus::Invalid;
    }
    FailAll();
}

// False for a reply to no request of ours: the stream is not to be trusted.
bool ServerConnection::Deliver(const zelipc::Reply& reply)
{
    const auto call = Take(reply.Id, reply.Final);
    if (call == nullptr) {
        return false;
    }
    if (reply.Final) {
        call->Complete(ResultOf(reply));
    } else {
        call->Pended();
    }
    return true;
}

std::shared_ptr<PendingCall> ServerConnection::Take(std::uint64_t id, bool final)
{
    std::lock_guard<std::mutex> lock(callsMutex_);
    const auto found = calls_.find(id);
    if (found == calls_.end()) {
        return nullptr;
    }
    auto call = found->second;
    if (final) {
        calls_.erase(found);
    }
    return call;
}

void ServerConnection::FailAll()
{
    std::map<std::uint64_t, std::shared_ptr<PendingCall>> calls;
    {
        std::lock_guard<std::mutex> lock(callsMutex_);
        broken_ = true;
        calls.swap(calls_);
    }
    for (auto& [id, call] : calls) {
        CallResult gone;
        gone.Status = kStatusDaemonGone;
        call->Complete(std::move(gone));
    }
}

}  // namespace zelwin32
