#include "thread_state.h"

#include <algorithm>
#include <vector>

namespace host::thread_state {
namespace {

thread_local KIRQL currentIrql = PASSIVE_LEVEL;
thread_local std::vector<PKSPIN_LOCK> heldLocks;

}  // namespace

KIRQL Irql() { return currentIrql; }

void SetIrql(KIRQL irql) { currentIrql = irql; }

void NoteLockAcquired(PKSPIN_LOCK lock) { heldLocks.push_back(lock); }

bool NoteLockReleased(PKSPIN_LOCK lock)
{
    // Locks need not be released in the order they were taken.
    auto it = std::find(heldLocks.rbegin(), heldLocks.rend(), lock);
    if (it == heldLocks.rend()) {
        return false;
    }
    heldLocks.erase(std::next(it).base());
    return true;
}

bool HoldsLock(PKSPIN_LOCK lock)
{
    return std::find(heldLocks.begin(), heldLocks.end(), lock) != heldLocks.end();
}

std::size_t HeldLockCount() { return heldLocks.size(); }

Snapshot Take() { return Snapshot{currentIrql, heldLocks.size()}; }

}  // namespace host::thread_state
