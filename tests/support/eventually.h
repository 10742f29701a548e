// Test support: waiting for a state another thread or process brings about
// and that offers nothing to block on. The deadline only keeps a broken run
// from hanging.
#pragma once

#include "deadline.h"

#include <chrono>
#include <thread>

namespace zel::test {

// Checks the condition until it holds; it must stay true once reached.
// Between checks the thread yields, or sleeps for pause when the check is
// costly (reading /proc, say). False when the deadline passed first.
template <typename Condition>
bool Eventually(Condition condition, const Deadline& deadline = Deadline(),
                std::chrono::milliseconds pause = std::chrono::milliseconds::zero())
{
    while (!condition()) {
        if (deadline.Passed()) {
            return false;
        }
        if (pause == std::chrono::milliseconds::zero()) {
            std::this_thread::yield();
        } else {
            std::this_thread::sleep_for(pause);
        }
    }
    return true;
}

}  // namespace zel::test
