// The driver's microsecond delay (PASSIVE_LEVEL).
#pragma once

#include "core/nt.h"

// Waits Microseconds (at most 214,748,364, so the interval fits 32 bits);
// returns the status of the wait.
NTSTATUS DelayMicroseconds(ULONG Microseconds);
