// What one client process holds in the host kernel: its open handles and
// its requests in flight, plus the gate that lets its teardown wait for the
// requests being dispatched right now.
#pragma once

#include <host/kernel.h>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace zelvcomd {

class SessionHandles {
public:
    std::uint64_t Add(std::shared_ptr<host::File> file);
    std::shared_ptr<host::File> Find(std::uint64_t handle) const;
    std::shared_ptr<host::File> Remove(std::uint64_t handle);

    // Requests in flight, by request id, so one of them can be cancelled.
    void Track(std::uint64_t requestId, std::uint64_t handle, std::shared_ptr<host::PendingIo> io);
    void Forget(std::uint64_t requestId);
    std::shared_ptr<host::PendingIo> Request(std::uint64_t requestId, std::uint64_t handle) const;

    // A worker enters before dispatching a request of this client; false
    // once the client is gone.
    bool Enter();
    void Leave();
    // Shuts the gate, waits until no dispatch is inside, and hands over
    // every handle still open.
    std::vector<std::shared_ptr<host::File>> Shut();

private:
    struct InFlight {
        std::uint64_t Handle = 0;
        std::shared_ptr<host::PendingIo> Io;
    };

    mutable std::mutex mutex_;
    std::condition_variable left_;
    std::map<std::uint64_t, std::shared_ptr<host::File>> files_;
    std::map<std::uint64_t, InFlight> requests_;
    std::uint64_t nextHandle_ = 1;
    std::size_t inside_ = 0;
    bool shut_ = false;
};

}  // namespace zelvcomd
