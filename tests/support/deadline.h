// Test support: a point in time to give up waiting at. Tests wait on the
// thing they expect; the deadline only keeps a broken run from hanging.
#pragma once

#include <algorithm>
#include <chrono>

namespace zel::test {

// Generous, so that slow sanitizer builds never hit it.
constexpr std::chrono::milliseconds kSafetyTimeout{20'000};

class Deadline {
public:
    using Clock = std::chrono::steady_clock;

    explicit Deadline(std::chrono::milliseconds timeout = kSafetyTimeout)
        : at_(Clock::now() + timeout)
    {
    }

    Clock::time_point At() const { return at_; }
    bool Passed() const { return Clock::now() >= at_; }
    // Milliseconds left, rounded up, as poll() takes them; 0 once passed.
    int PollMs() const
    {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(at_ - Clock::now());
        return static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, left.count()));
    }

private:
    Clock::time_point at_;
};

}  // namespace zel::test
