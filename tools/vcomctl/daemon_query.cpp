#include "daemon_query.h"

#include "commands.h"

#include <common/platform.h>
#include <host/common/unique_fd.h>
#include <zelvcom_ipc/codec.h>
#include <zelvcom_ipc/frame_reader.h>
#include <zelvcom_ipc/runtime_paths.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>

namespace vcomctl {
namespace {

// The daemon answers at once; a daemon that says nothing for this long is
// stuck.
constexpr int kReplyTimeoutMs = 10000;
constexpr std::size_t kReceiveBlock = 64 * 1024;

class DaemonConnection {
public:
    DaemonConnection()
    {
        std::string whyNot;
        socket_ = zelipc::ConnectClient(&whyNot);
        if (!socket_.Valid()) {
            throw Failure(ExitCode::DaemonNotRunning,
                          "cannot reach " ZEL_DRIVER_HOST ": " + whyNot);
        }
        Ask(zelipc::HelloRequest{static_cast<std::uint32_t>(getpid())});
    }

    zelipc::Reply Ask(zelipc::RequestBody body)
    {
        const auto bytes = zelipc::EncodeRequest({++lastId_, std::move(body)});
        for (std::size_t sent = 0; sent < bytes.size();) {
            const ssize_t count =
                send(socket_.Get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (count < 0 && errno == EINTR)
                continue;
            if (count <= 0)
                Broken("the connection failed");
            sent += static_cast<std::size_t>(count);
        }
        for (;;) {
            zelipc::Frame frame;
            std::string error;
            switch (frames_.Next(&frame, &error)) {
            case zelipc::FrameStatus::Invalid:
                Broken(error);
            case zelipc::FrameStatus::Ready: {
                auto reply = zelipc::DecodeReply(frame.Head, frame.Payload, &error);
                if (!reply)
                    Broken(error);
                if (reply->Final && reply->Id == lastId_)
                    return *reply;
                break;
            }
            case zelipc::FrameStatus::NeedMore:
                Receive();
                break;
            }
        }
    }

private:
    void Receive()
    {
        pollfd wait{socket_.Get(), POLLIN, 0};
        int ready = 0;
        do {
            ready = poll(&wait, 1, kReplyTimeoutMs);
        } while (ready < 0 && errno == EINTR);
        if (ready == 0)
            Broken("no answer within " + std::to_string(kReplyTimeoutMs / 1000) + " s");
        std::array<std::uint8_t, kReceiveBlock> block;
        const ssize_t got = ready > 0 ? recv(socket_.Get(), block.data(), block.size(), 0) : -1;
        // A daemon that does not know a request closes the connection.
        if (got <= 0)
            Broken("it closed the connection (is it older than this vcomctl?)");
        frames_.Append(block.data(), static_cast<std::size_t>(got));
    }

    [[noreturn]] void Broken(const std::string& why)
    {
        throw Failure(ExitCode::Failed, ZEL_DRIVER_HOST " did not report the ports: " + why);
    }

    zel::UniqueFd socket_;
    zelipc::FrameReader frames_;
    std::uint64_t lastId_ = 0;
};

}  // namespace

zelipc::PortStatusPage QueryPortStatus()
{
    DaemonConnection daemon;
    zelipc::PortStatusPage all;
    std::uint32_t from = 0;
    do {
        const zelipc::Reply reply = daemon.Ask(zelipc::PortStatusRequest{from});
        std::string error;
        auto page = zelipc::DecodePortStatus(reply.Data, &error);
        if (reply.Status != 0 || !page) {
            throw Failure(ExitCode::Failed,
                          ZEL_DRIVER_HOST " did not report the ports: " +
                              (page ? "status " + std::to_string(reply.Status) : error));
        }
        all.ModuleDevices.insert(all.ModuleDevices.end(), page->ModuleDevices.begin(),
                                 page->ModuleDevices.end());
        all.Ports.insert(all.Ports.end(), page->Ports.begin(), page->Ports.end());
        // Each page goes further, so the pages end.
        if (reply.Information != 0 && reply.Information <= from)
            throw Failure(ExitCode::Failed, ZEL_DRIVER_HOST
                          " did not report the ports: it "
                          "repeats a page");
        from = static_cast<std::uint32_t>(reply.Information);
    } while (from != 0);
    return all;
}

}  // namespace vcomctl
