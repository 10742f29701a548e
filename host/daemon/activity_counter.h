// Counts requests that have not completed yet, daemon-wide, so shutdown
// can wait for the last cancelled one before the driver unloads.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace zelvcomd {

class ActivityCounter {
public:
    void Begin()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++active_;
    }
    // May run in a completing thread at raised IRQL: no waiting here.
    void End()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (--active_ == 0) {
            idle_.notify_all();
        }
    }
    std::size_t Active() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return active_;
    }
    void WaitIdle()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        idle_.wait(lock, [this] { return active_ == 0; });
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable idle_;
    std::size_t active_ = 0;
};

}  // namespace zelvcomd
