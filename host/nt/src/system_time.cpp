// System time and the tick count.
#include "nt_time.h"

#include <chrono>

namespace {

// The interval of NT's clock tick: 15.625 ms in 100-ns units.
constexpr ULONG kTimeIncrement = 156250;

}  // namespace

extern "C" {

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    CurrentTime->QuadPart = host::nt_time::SystemTimeNow();
}

VOID NTAPI KeQueryTickCount(PLARGE_INTEGER TickCount)
{
    // The steady clock counts from boot, as the tick count does.
    const auto sinceBoot = host::nt_time::Clock::now().time_since_epoch();
    TickCount->QuadPart =
        std::chrono::duration_cast<host::nt_time::Units>(sinceBoot).count() / kTimeIncrement;
}

ULONG NTAPI KeQueryTimeIncrement(VOID) { return kTimeIncrement; }

}  // extern "C"
