// Pool and spin locks: IRQL rules, tags, double frees, lock ownership, and
// mutual exclusion between threads.
#include "host_test_driver.h"

#include <algorithm>
#include <thread>
#include <vector>

namespace hosttest {
namespace {

constexpr ULONG kTag = 0x74736554;  // "Test"
constexpr ULONG kOtherTag = 0x72687445;

using ExecutiveTest = HostKernelTest;

TEST_F(ExecutiveTest, PoolBlocksAreUsableAndNotZeroed)
{
    constexpr SIZE_T kBytes = 64;
    auto* block = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, kBytes, kTag));
    ASSERT_NE(block, nullptr);
    // Windows pool is not zeroed; a driver that relies on it is wrong.
    EXPECT_NE(std::count(block, block + kBytes, 0), static_cast<std::ptrdiff_t>(kBytes));
    RtlZeroMemory(block, kBytes);
    RtlFillMemory(block, kBytes / 2, 0x5A);
    EXPECT_EQ(block[0], 0x5A);
    EXPECT_EQ(block[kBytes - 1], 0);
    ExFreePoolWithTag(block, kTag);

    PVOID untagged = ExAllocatePool(PagedPool, 1);
    ExFreePool(untagged);
    PVOID tagged = ExAllocatePoolWithTag(NonPagedPoolNx, 1, kTag);
    ExFreePool(tagged);  // no tag given: any tag matches
}

TEST_F(ExecutiveTest, AFailureRuleFailsTheAllocationsItChooses)
{
    Kernel().SetPoolFailureRule([](POOL_TYPE, SIZE_T, ULONG tag) { return tag == kOtherTag; });
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 8, kOtherTag), nullptr);
    PVOID kept = ExAllocatePoolWithTag(PagedPool, 8, kTag);
    EXPECT_NE(kept, nullptr);
    ExFreePool(kept);
    Kernel().SetPoolFailureRule(nullptr);
    PVOID again = ExAllocatePoolWithTag(PagedPool, 8, kOtherTag);
    EXPECT_NE(again, nullptr);
    ExFreePool(again);
}

TEST_F(ExecutiveTest, NonPagedPoolAtDispatchLevel)
{
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
    EXPECT_NE(block, nullptr);
    ExFreePoolWithTag(block, kTag);
    KeLowerIrql(irql);
}

TEST_F(ExecutiveTest, SpinLockRaisesToDispatchAndRestores)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL irql;
    KeAcquireSpinLock(&lock, &irql);
    EXPECT_EQ(irql, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_NE(lock, 0u);
    KeReleaseSpinLock(&lock, irql);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(lock, 0u);
}

TEST_F(ExecutiveTest, SpinLockExcludesOtherThreads)
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
                KIRQL irql;
                KeAcquireSpinLock(&lock, &irql);
                const long seen = counter;
                std::this_thread::yield();
                counter = seen + 1;
                KeReleaseSpinLock(&lock, irql);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(counter, kThreads * kIncrements);
}

TEST_F(ExecutiveTest, ListHelpers)
{
    LIST_ENTRY head;
    LIST_ENTRY first;
    LIST_ENTRY second;
    InitializeListHead(&head);
    EXPECT_TRUE(IsListEmpty(&head));
    InsertTailList(&head, &first);
    InsertHeadList(&head, &second);
    EXPECT_EQ(head.Flink, &second);
    EXPECT_EQ(RemoveTailList(&head), &first);
    EXPECT_TRUE(RemoveEntryList(&second));
    EXPECT_TRUE(IsListEmpty(&head));
}

using ExecutiveDeathTest = HostKernelTest;

TEST_F(ExecutiveDeathTest, PagedPoolAtDispatchLevel)
{
    EXPECT_DEATH(
        {
            KIRQL irql;
            KeRaiseIrql(DISPATCH_LEVEL, &irql);
            ExAllocatePoolWithTag(PagedPool, 16, kTag);
        },
        "IRQL_NOT_LESS_OR_EQUAL: ExAllocatePoolWithTag called at IRQL 2");
}

TEST_F(ExecutiveDeathTest, FreeWithTheWrongTag)
{
    EXPECT_DEATH(ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 8, kTag), kOtherTag),
                 "BAD_POOL_CALLER: ExFreePoolWithTag with tag 'Ethr'.*tagged 'Test'");
}

TEST_F(ExecutiveDeathTest, DoubleFree)
{
    EXPECT_DEATH(
        {
            PVOID block = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
            ExFreePoolWithTag(block, kTag);
            ExFreePoolWithTag(block, kTag);
        },
        "BAD_POOL_CALLER.*freed twice");
}

TEST_F(ExecutiveDeathTest, WriteBeyondABlock)
{
    EXPECT_DEATH(
        {
            auto* block = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 8, kTag));
            // Past the end but inside the guard, so only the guard notices.
            block[8] = 0;
            ExFreePoolWithTag(block, kTag);
        },
        "SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION");
}

TEST_F(ExecutiveDeathTest, PoolLeakedAtUnload)
{
    LoadDriver();
    EXPECT_DEATH(
        {
            ExAllocatePoolWithTag(PagedPool, 24, kTag);
            Kernel().UnloadDriver();
        },
        "DRIVER_VERIFIER_DETECTED_VIOLATION: driver unloaded without freeing its pool allocations: "
        "tag 'Test'.*24 bytes");
}

TEST_F(ExecutiveDeathTest, ReleasingASpinLockNotHeld)
{
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KIRQL irql;
            KeRaiseIrql(DISPATCH_LEVEL, &irql);
            KeReleaseSpinLock(&lock, irql);
        },
        "SPIN_LOCK_NOT_OWNED");
}

TEST_F(ExecutiveDeathTest, ReleasingAnotherThreadsSpinLock)
{
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KIRQL irql = PASSIVE_LEVEL;
            std::thread owner([&] { KeAcquireSpinLock(&lock, &irql); });
            owner.join();
            KeRaiseIrql(DISPATCH_LEVEL, &irql);
            KeReleaseSpinLock(&lock, irql);
        },
        "SPIN_LOCK_NOT_OWNED");
}

TEST_F(ExecutiveDeathTest, AcquiringASpinLockTwice)
{
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KIRQL irql;
            KeAcquireSpinLock(&lock, &irql);
            KeAcquireSpinLock(&lock, &irql);
        },
        "SPIN_LOCK_ALREADY_OWNED");
}

TEST_F(ExecutiveDeathTest, LoweringIrqlAbove)
{
    EXPECT_DEATH(KeLowerIrql(DISPATCH_LEVEL), "IRQL_NOT_LESS_OR_EQUAL: KeLowerIrql");
}
}  // namespace
}  // namespace hosttest
