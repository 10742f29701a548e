// What the host knows about the calling thread: its IRQL and the spin locks
// it holds. Both are per thread, as on a processor running that thread.
#pragma once

#include <host/common/non_copyable.h>
#include <wdm.h>

#include <cstddef>
#include <functional>

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

// Marks the thread as running driver code, from a call into the driver
// (a client's request, a cancel, a DPC, a work item, the transport's
// reactor) until it returns. Work handed to RunOutsideDriver meanwhile runs
// when the outermost scope ends, at PASSIVE_LEVEL with no spin lock held,
// in the order given.
class DriverScope : zel::NonCopyable {
public:
    DriverScope();
    ~DriverScope();
};

// Whether the thread is within a DriverScope.
bool InDriver();

// Runs work once this thread has left the driver: at once outside any
// DriverScope, else when the outermost one ends.
void RunOutsideDriver(std::function<void()> work);

}  // namespace host::thread_state
