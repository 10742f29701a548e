#include "net/delay.h"

namespace {

constexpr ULONG HUNDRED_NS_PER_MICROSECOND = 10;

}  // namespace

NTSTATUS DelayMicroseconds(ULONG Microseconds)
{
    // The interval is formed in 32 bits and sign-extended.
    LONG ticks = -static_cast<LONG>(Microseconds * HUNDRED_NS_PER_MICROSECOND);
    LARGE_INTEGER interval;
    interval.QuadPart = ticks;
    return KeDelayExecutionThread(KernelMode, TRUE, &interval);
}
