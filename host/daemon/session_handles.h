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
    // A slot for one more handle, taken by the Add that follows or given
    // back; false when the client holds as many as it may.
    bool Reserve();
    void Unreserve();
    std::uint64_t Add(std::shared_ptr<host::File> file);
    std::shared_ptr<host::File> Find(std::uint64_t handle) const;
    std::shared_ptr<host::File> Remove(std::uint64_t handle);

    // Requests in flight, from their arrival to their answer, by request
    // id (unique among them, so a cancel finds the one meant) and the
    // handle a cancel finds them by (0 for none).
    enum class Admission { Admitted, IdInUse, TooMany };
    Admission Begin(std::uint64_t requestId, std::uint64_t handle);
    // Its turn has come; false when it was cancelled while it waited.
    bool Start(std::uint64_t requestId);
    // It has reached the driver as io; true when a cancel came meanwhile.
    bool Track(std::uint64_t requestId, std::shared_ptr<host::PendingIo> io);
    // Before its answer is queued, so the id may be used again at once.
    void End(std::uint64_t requestId);
    // Cancels one request on the handle: one that waits never starts, and
    // *io is set when it is in the driver (for the caller to cancel there).
    // False when no such request is in flight.
    bool Cancel(std::uint64_t requestId, std::uint64_t handle,
                std::shared_ptr<host::PendingIo>* io);
    // Every request on the handle that has not reached the driver yet.
    void CancelWaiting(std::uint64_t handle);

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
        bool Cancelled = false;
    };

    mutable std::mutex mutex_;
    std::condition_variable left_;
    std::map<std::uint64_t, std::shared_ptr<host::File>> files_;
    std::size_t reserved_ = 0;
    std::map<std::uint64_t, InFlight> requests_;
    std::uint64_t nextHandle_ = 1;
    std::size_t inside_ = 0;
    bool shut_ = false;
};

}  // namespace zelvcomd
