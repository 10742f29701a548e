#include "nt_time.h"

#include <chrono>

namespace host::nt_time {
namespace {

// 1601-01-01 to 1970-01-01 in 100-ns units.
constexpr LONGLONG kUnixEpochAsSystemTime = 116444736000000000LL;

}  // namespace

LONGLONG SystemTimeNow()
{
    const auto sinceUnixEpoch = std::chrono::system_clock::now().time_since_epoch();
    return kUnixEpochAsSystemTime + std::chrono::duration_cast<Units>(sinceUnixEpoch).count();
}

Clock::time_point DueTime(LONGLONG ntTime)
{
    const Clock::time_point now = Clock::now();
    if (ntTime < 0) {
        return now + std::chrono::duration_cast<Clock::duration>(Units(-ntTime));
    }
    if (ntTime == 0) {
        return now;
    }
    const LONGLONG remaining = ntTime - SystemTimeNow();
    if (remaining <= 0) {
        return now;
    }
    return now + std::chrono::duration_cast<Clock::duration>(Units(remaining));
}

std::optional<Clock::time_point> Deadline(const LARGE_INTEGER* timeout)
{
    if (timeout == nullptr) {
        return std::nullopt;
    }
    return DueTime(timeout->QuadPart);
}

}  // namespace host::nt_time
