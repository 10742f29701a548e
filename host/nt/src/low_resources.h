// The verifier's low-resources simulation: the routines that allocate for a
// driver ask it first, and fail as an exhausted system does when it says so.
#pragma once

#include <host/kernel.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <random>

namespace host {

class LowResourcesSimulation {
public:
    void Arm(LowResources plan);
    // Returns how many calls failed since arming.
    std::uint64_t Disarm();

    // Asked by each allocating routine, which then fails when this is true.
    bool ShouldFail(const char* routine);

private:
    std::mutex mutex_;
    // Read without the lock first: every allocation asks, and it is rarely armed.
    std::atomic<bool> armed_{false};
    LowResources plan_;
    std::mt19937 random_;
    std::uint64_t calls_ = 0;
    std::uint64_t failed_ = 0;
};

// The live kernel's simulation, asked on behalf of routine.
bool SimulateLowResources(const char* routine);

}  // namespace host
