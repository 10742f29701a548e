// This process's connection to zelvcomd: one Unix stream socket that every
// thread shares. Requests are sent under a lock; a receiver thread matches
// replies to requests by id, so threads may have requests in flight at once
// and replies may come in any order.
#pragma once

#include <host/common/non_copyable.h>
#include "pending_call.h"

#include <host/common/unique_fd.h>

#include <zelvcom_ipc/protocol.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace zelwin32 {

// What a request still in flight fails with once the daemon has gone.
constexpr NtStatus kStatusDaemonGone = kStatusDeviceRemoved;

class ServerConnection : zel::NonCopyable {
public:
    // Connects to the first of the client's sockets that accepts and
    // exchanges Hello; nothing when no daemon answers (or it speaks another
    // protocol version).
    static std::shared_ptr<ServerConnection> Connect();

    explicit ServerConnection(zel::UniqueFd socket);
    ~ServerConnection();

    std::uint64_t NewRequestId() { return nextId_++; }
    // Sends a request with an id from NewRequestId. Never fails: a broken
    // connection completes the call at once with kStatusDaemonGone.
    std::shared_ptr<PendingCall> Start(std::uint64_t id, zelipc::RequestBody body,
                                       PendingCall::Completion completion = {});
    std::shared_ptr<PendingCall> Start(zelipc::RequestBody body)
    {
        return Start(NewRequestId(), std::move(body));
    }

    bool Broken() const;

private:
    bool Greet();
    void ReceiveReplies();
    bool Deliver(const zelipc::Reply& reply);
    void FailAll();
    std::shared_ptr<PendingCall> Take(std::uint64_t id, bool final);

    zel::UniqueFd socket_;
    std::atomic<std::uint64_t> nextId_{1};
    std::mutex sendMutex_;
    mutable std::mutex callsMutex_;
    std::map<std::uint64_t, std::shared_ptr<PendingCall>> calls_;
    bool broken_ = false;
    std::thread receiver_;
};

}  // namespace zelwin32
