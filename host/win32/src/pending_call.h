// One request of this process in flight to the daemon, as the calling thread
// and the connection's receiver thread share it.
#pragma once

#include "nt_status.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace zelwin32 {

struct CallResult {
    NtStatus Status = kStatusPending;
    std::uint64_t Information = 0;
    std::vector<std::uint8_t> Data;
};

class PendingCall {
public:
    // Runs in the receiver thread with the final result, before any waiter
    // wakes: overlapped callers copy their output there.
    using Completion = std::function<void(const CallResult&)>;

    explicit PendingCall(Completion completion = {}) : completion_(std::move(completion)) {}

    // The daemon reported that the driver pended the request.
    void Pended();
    void Complete(CallResult result);

    // Blocks until the first answer; true when it was the final one.
    bool WaitFirstAnswer();
    const CallResult& WaitResult();

private:
    Completion completion_;
    std::mutex mutex_;
    std::condition_variable answered_;
    bool pended_ = false;
    bool done_ = false;
    CallResult result_;
};

}  // namespace zelwin32
