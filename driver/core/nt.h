// The WDK headers every driver file builds on, in the order they need.
#pragma once

#include <ntddk.h>

// A lock that may be held across waits, as a spin lock may not: a
// synchronization event that starts signalled lets one waiter through at a
// time. PASSIVE_LEVEL.
inline void InitializeWaitLock(PKEVENT Lock)
{
    KeInitializeEvent(Lock, SynchronizationEvent, TRUE);
}

inline void AcquireWaitLock(PKEVENT Lock)
{
    KeWaitForSingleObject(Lock, Executive, KernelMode, FALSE, nullptr);
}

inline void ReleaseWaitLock(PKEVENT Lock)
{
    KeSetEvent(Lock, IO_NO_INCREMENT, FALSE);
}
