// One byte out, the same byte back from an echo channel: the latency a
// request/response protocol on the port sees.
#pragma once

#include "tty_port.h"

#include <cstddef>

namespace zelbench {

struct RoundTripResult {
    std::size_t Pings = 0;
    double MedianUs = 0;
    double P99Us = 0;
};

// warmup untimed pings first (they also wait out the port's connection).
RoundTripResult MeasureRoundTrip(const TtyPort& tty, std::size_t pings, std::size_t warmup);

// One untimed ping; throws when the echo is wrong or missing.
void Ping(const TtyPort& tty, unsigned char value);

}  // namespace zelbench
