// One round trip: the message written, then read until it is back whole,
// differs, or the time is up.
#pragma once

#include "com_port.h"

#include <chrono>
#include <string>

namespace comping {

enum class Outcome { Matched, Mismatched, TimedOut };

struct RoundTrip {
    Outcome Result = Outcome::TimedOut;
    std::string Back;  // what came back, up to the message's length
    std::chrono::microseconds Elapsed{0};
};

// Throws Failure when a call fails.
RoundTrip Ping(ComPort& port, const std::string& message, std::chrono::milliseconds timeout);

}  // namespace comping
