// What the host knows about the calling thread: its IRQL and the spin locks
// it holds. Both are per thread, as on a processor running that thread.
#pragma once

#include <wdm.h>

#include <cstddef>

namespace host::thread_state {

KIRQL Irql();
void SetIrql(KIRQL irql);

void NoteLockAcquired(PKSPIN_LOCK lock);
// False when this thread does not hold the lock.
bool NoteLockReleased(PKSPIN_LOCK lock);
bool HoldsLock(PKSPIN_LOCK lock);
std::size_t HeldLockCount();

// The thread's state before a call into the driver, to compare after it.
struct Snapshot {
    KIRQL Irql;
    std::size_t HeldLocks;
};

Snapshot Take();

}  // namespace host::thread_state
