// A one-shot timer in the event loop (timerfd on the monotonic clock).
#pragma once

#include <host/common/event_loop.h>
#include <host/common/unique_fd.h>

#include <chrono>
#include <functional>

namespace zelmodsim {

class Timer {
public:
    Timer(zel::EventLoop& loop, std::function<void()> onExpiry);

    // Replaces any earlier arming. A delay of zero or less fires at once.
    void ArmAfter(std::chrono::nanoseconds delay);
    void Disarm();

private:
    void OnReadable();

    zel::UniqueFd fd_;
    std::function<void()> onExpiry_;
    zel::EventLoop::Watch watch_;
};

}  // namespace zelmodsim
