// Spin locks: a ULONG_PTR spun on with atomic exchange. Acquiring raises the
// thread to DISPATCH_LEVEL; the verifier records which locks each thread
// holds, so a release by a thread that does not hold the lock, or a
// recursive acquire (a deadlock on Windows), stops at once.
#include "thread_state.h"
#include "verifier.h"
#include "verifier_rules.h"

#include <sched.h>

#include <cstdio>

#include <string>

namespace {

constexpr ULONG_PTR kLockFree = 0;
constexpr ULONG_PTR kLockTaken = 1;
// Locks are held for a few hundred nanoseconds, or for a system call made
// by a completion routine: spin (politely) for some microseconds before
// giving the processor away, as a yield is itself a system call.
constexpr int kSpinsBeforeYield = 1024;

std::string Describe(PKSPIN_LOCK lock)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%p", static_cast<void*>(lock));
    return text;
}

void CpuRelax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

void Spin(PKSPIN_LOCK lock)
{
    using host::thread_state::HoldsLock;
    if (HoldsLock(lock)) {
        host::verifier::BugCheck(host::rule::kSpinLockAlreadyOwned,
                                 "spin lock " + Describe(lock) + " acquired again by its owner");
    }
    int spins = 0;
    while (__atomic_exchange_n(lock, kLockTaken, __ATOMIC_ACQUIRE) != kLockFree) {
        while (__atomic_load_n(lock, __ATOMIC_RELAXED) != kLockFree) {
            if (++spins >= kSpinsBeforeYield) {
                spins = 0;
                sched_yield();
            } else {
                CpuRelax();
            }
        }
    }
    host::thread_state::NoteLockAcquired(lock);
}

void Unspin(PKSPIN_LOCK lock)
{
    if (!host::thread_state::NoteLockReleased(lock)) {
        host::verifier::BugCheck(
            host::rule::kSpinLockNotOwned,
            "spin lock " + Describe(lock) + " released by a thread that does not hold it");
    }
    __atomic_store_n(lock, kLockFree, __ATOMIC_RELEASE);
}

void RequireAtLeastDispatch(const char* routine)
{
    const KIRQL irql = host::thread_state::Irql();
    if (irql < DISPATCH_LEVEL) {
        host::verifier::BugCheck(host::rule::kIrqlNotGreaterOrEqual,
                                 std::string(routine) + " called at IRQL " + std::to_string(irql));
    }
}

}  // namespace

extern "C" {

KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock)
{
    host::verifier::RequireIrqlAtMost(DISPATCH_LEVEL, "KeAcquireSpinLock");
    const KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    Spin(SpinLock);
    return old;
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    RequireAtLeastDispatch("KeReleaseSpinLock");
    Unspin(SpinLock);
    KeLowerIrql(NewIrql);
}

}  // extern "C"
