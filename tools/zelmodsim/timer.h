// A one-shot timer in the event loop (timerfd on the monotonic clock).
#pragma once

#include "event_loop.h"
#include "unique_fd.h"

#include <chrono>
#include <functional>

namespace zelmodsim {

class Timer {
public:
    Timer(EventLoop& loop, std::function<void()> onExpiry);

    // Replaces any earlier arming. A delay of zero or less fires at once.
    void ArmAfter(std::chrono::nanoseconds delay);
    void Disarm();

private:
    void OnReadable();

    UniqueFd fd_;
    std::function<void()> onExpiry_;
    EventLoop::Watch watch_;
};

}  // namespace zelmodsim
