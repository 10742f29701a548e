#include "thread_state.h"

#include <algorithm>
#include <deque>
#include <vector>

namespace host::thread_state {
namespace {

thread_local KIRQL currentIrql = PASSIVE_LEVEL;
thread_local std::vector<PKSPIN_LOCK> heldLocks;
thread_local unsigned driverDepth = 0;
thread_local bool runningDeferred = false;
thread_local std::deque<std::function<void()>> deferred;

// Work deferred by the work itself joins the queue being run, rather than
// nesting a run of its own on the stack.
void RunDeferred()
{
    if (runningDeferred) {
        return;
    }
    runningDeferred = true;
    while (!deferred.empty()) {
        std::function<void()> work = std::move(deferred.front());
        deferred.pop_front();
        work();
    }
    runningDeferred = false;
}

}  // namespace

KIRQL Irql()
{
    return currentIrql;
}

void SetIrql(KIRQL irql)
{
    currentIrql = irql;
}

void NoteLockAcquired(PKSPIN_LOCK lock)
{
    heldLocks.push_back(lock);
}

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

std::size_t HeldLockCount()
{
    return heldLocks.size();
}

Snapshot Take()
{
    return Snapshot{currentIrql, heldLocks.size()};
}

DriverScope::DriverScope()
{
    ++driverDepth;
}

DriverScope::~DriverScope()
{
    if (--driverDepth == 0) {
        RunDeferred();
    }
}

bool InDriver()
{
    return driverDepth != 0;
}

void RunOutsideDriver(std::function<void()> work)
{
    if (driverDepth == 0 && !runningDeferred) {
        work();
        return;
    }
    deferred.push_back(std::move(work));
}

}  // namespace host::thread_state
