// Bulk transfers through a terminal, each timed so that only bytes that
// really arrived at the far end count (see README.md):
//   upload    to a sink channel, arrival confirmed by the simulator's stats
//   download  from a source channel, timed at the reader and verified
//   echo      both directions at once through an echo channel, verified
#pragma once

#include "sim_stats.h"
#include "tty_port.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace zelbench {

struct TransferResult {
    std::uint64_t Bytes = 0;
    double Seconds = 0;

    // Decimal megabytes (10^6 bytes) per second.
    double MegabytesPerSecond() const;
};

// bytes pseudo-random bytes: a lost, repeated or reordered block shows.
std::string PatternBytes(std::size_t bytes);

// From the first byte written until the channel's count in the simulator
// covers all of them.
TransferResult MeasureUpload(const TtyPort& tty, SimulatorStats& stats, int channel,
                             std::size_t bytes);

// From the first byte read until the last one; every byte checked against
// expected, the contents of the channel's source file.
TransferResult MeasureDownload(const TtyPort& tty, const std::string& expected);

// One thread writes bytes while the other reads them back and checks them;
// from the first byte written until the last one read. Bytes is what
// travelled each way.
TransferResult MeasureEcho(const TtyPort& tty, std::size_t bytes);

}  // namespace zelbench
