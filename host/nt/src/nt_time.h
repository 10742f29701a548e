// NT time: 100-ns units; relative times are negative, absolute ones count
// from 1601-01-01 (system time).
#pragma once

#include <wdm.h>

#include <chrono>
#include <optional>

namespace host::nt_time {

using Clock = std::chrono::steady_clock;
using Units = std::chrono::duration<LONGLONG, std::ratio<1, 10000000>>;

LONGLONG SystemTimeNow();
// The steady-clock moment an NT due time stands for: relative when
// negative, absolute when positive, now when zero.
Clock::time_point DueTime(LONGLONG ntTime);
// Null (wait forever) when timeout is null.
std::optional<Clock::time_point> Deadline(const LARGE_INTEGER* timeout);

}  // namespace host::nt_time
