// Pool and spin locks.
#include "host_test_driver.h"

namespace hosttest {
namespace {

constexpr ULONG kTag = 0x74736554;  // "Test"
constexpr ULONG kOtherTag = 0x72687445;

using ExecutiveTest = HostKernelTest;

TEST_F(ExecutiveTest, PoolBlocksAreNotZeroedAndNonPagedPoolServesDispatchLevel)
{
    constexpr SIZE_T kBytes = 64;
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    auto* block = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, kBytes, kTag));
    ASSERT_NE(block, nullptr);
    // Windows pool is not zeroed; a driver that relies on it is wrong.
    EXPECT_NE(std::count(block, block + kBytes, 0), static_cast<std::ptrdiff_t>(kBytes));
    ExFreePool(block);  // no tag given: any tag matches
    KeLowerIrql(irql);
    ExFreePool(ExAllocatePool(PagedPool, 1));
}

TEST_F(ExecutiveTest, SpinLockRaisesToDispatchAndExcludesOtherThreads)
{
    constexpr int kThreads = 4;
    constexpr int kIncrements = 2000;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0;  // guarded by the spin lock only
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kIncrements; ++i) {
                KIRQL old;
                KeAcquireSpinLock(&lock, &old);
                EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
                const long seen = counter;
                std::this_thread::yield();
                counter = seen + 1;
                KeReleaseSpinLock(&lock, old);
            }
            EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(counter, kThreads * kIncrements);
}

using ExecutiveDeathTest = HostKernelTest;

TEST_F(ExecutiveDeathTest, PoolMisusedOrLeftAtUnload)
{
    EXPECT_DEATH((RaiseIrql(DISPATCH_LEVEL), ExAllocatePoolWithTag(PagedPool, 16, kTag)),
                 "IRQL_NOT_LESS_OR_EQUAL: ExAllocatePoolWithTag called at IRQL 2");
    auto* block = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 8, kTag));
    EXPECT_DEATH(ExFreePoolWithTag(block, kOtherTag),
                 "BAD_POOL_CALLER: ExFreePoolWithTag with tag 'Ethr'.*tagged 'Test'");
    // Past the end but inside the guard, so only the guard notices.
    EXPECT_DEATH((block[8] = 0, ExFreePoolWithTag(block, kTag)),
                 "SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION");
    ExFreePoolWithTag(block, kTag);
    EXPECT_DEATH(ExFreePoolWithTag(block, kTag), "BAD_POOL_CALLER.*freed twice");
    LoadDriver();
    EXPECT_DEATH((ExAllocatePoolWithTag(PagedPool, 24, kTag), Kernel().UnloadDriver()),
                 "DRIVER_VERIFIER_DETECTED_VIOLATION: driver unloaded without freeing its pool "
                 "allocations: tag 'Test'.*24 bytes");
}

TEST_F(ExecutiveDeathTest, SpinLockOwnershipAndLoweringIrqlAbove)
{
    EXPECT_DEATH(KeLowerIrql(DISPATCH_LEVEL), "IRQL_NOT_LESS_OR_EQUAL: KeLowerIrql");
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL irql = PASSIVE_LEVEL;
    std::thread([&] { KeAcquireSpinLock(&lock, &irql); }).join();
    EXPECT_DEATH((RaiseIrql(DISPATCH_LEVEL), KeReleaseSpinLock(&lock, irql)),
                 "SPIN_LOCK_NOT_OWNED");
    KSPIN_LOCK mine;
    KeInitializeSpinLock(&mine);
    KeAcquireSpinLock(&mine, &irql);
    EXPECT_DEATH(KeAcquireSpinLock(&mine, &irql), "SPIN_LOCK_ALREADY_OWNED");
    KeReleaseSpinLock(&mine, irql);
}

}  // namespace
}  // namespace hosttest
