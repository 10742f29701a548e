// One client process's connection: its socket, the messages it sends, the
// replies waiting to go out, and what it holds in the host kernel.
//
// The event loop reads and writes the socket; any thread may queue a
// reply (the thread that completes a request among them).
#pragma once

#include "session_handles.h"

#include <host/common/unique_fd.h>

#include <zelvcom_ipc/frame_reader.h>
#include <zelvcom_ipc/protocol.h>

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zelvcomd {

class ClientSession;
template <typename Item>
class WakeQueue;
using SessionWakeQueue = WakeQueue<std::shared_ptr<ClientSession>>;

class ClientSession : public std::enable_shared_from_this<ClientSession> {
public:
    ClientSession(std::uint64_t id, zel::UniqueFd socket, SessionWakeQueue& wake);

    std::uint64_t Id() const { return id_; }
    int Fd() const { return socket_.Get(); }
    pid_t PeerProcess() const { return peerProcess_; }
    SessionHandles& Handles() { return handles_; }

    // ---- Event loop ----
    enum class Received { Open, Closed, Violation };
    // Reads what has arrived and decodes every complete request. Violation:
    // *reason says what was wrong.
    Received Receive(std::vector<zelipc::Request>* requests, std::string* reason);

    enum class Flushed { Done, Blocked, Failed };
    Flushed Flush();
    // Set when the client let too many replies pile up unread.
    bool Overflowed() const;
    bool WatchingWritable() const { return watchingWritable_; }
    void SetWatchingWritable(bool watching) { watchingWritable_ = watching; }
    // Ends the connection; replies queued later are dropped.
    void Disconnect();

    // ---- Any thread ----
    void QueueReply(const zelipc::Reply& reply);

private:
    bool Decode(const zelipc::Frame& frame, std::vector<zelipc::Request>* requests,
                std::string* reason);

    const std::uint64_t id_;
    zel::UniqueFd socket_;
    SessionWakeQueue& wake_;
    pid_t peerProcess_ = 0;
    SessionHandles handles_;

    // Event loop only.
    std::vector<std::uint8_t> receiveBlock_;
    zelipc::FrameReader frames_;
    bool watchingWritable_ = false;

    mutable std::mutex outMutex_;
    std::vector<std::uint8_t> outbound_;
    std::size_t outboundSent_ = 0;
    bool wakeQueued_ = false;
    bool overflowed_ = false;
    bool disconnected_ = false;
};

}  // namespace zelvcomd
