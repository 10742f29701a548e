// MDLs and the NDIS allocator as a TDI client uses them: what an MDL
// describes, locking, IRP linkage, and the verifier's checks.
#include "host_test_driver.h"

#include <ndis.h>

#include <cstdint>
#include <vector>

namespace hosttest {
namespace {

using TdiMdlTest = HostKernelTest;
using TdiMdlDeathTest = HostKernelTest;

constexpr ULONG kLength = 2048;
constexpr ULONG kPageOffset = 0x123;
constexpr ULONG kTag = 0x74736554;  // "Test"

PHYSICAL_ADDRESS Anywhere()
{
    PHYSICAL_ADDRESS highest;
    highest.QuadPart = -1;
    return highest;
}

TEST_F(TdiMdlTest, AnMdlDescribesItsBuffer)
{
    alignas(PAGE_SIZE) static std::uint8_t pages[2 * PAGE_SIZE];
    PVOID start = pages + kPageOffset;
    PMDL mdl = IoAllocateMdl(start, kLength, FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    EXPECT_EQ(mdl->Next, nullptr);
    EXPECT_EQ(mdl->StartVa, static_cast<PVOID>(pages));
    EXPECT_EQ(MmGetMdlByteOffset(mdl), kPageOffset);
    EXPECT_EQ(MmGetMdlByteCount(mdl), kLength);
    EXPECT_EQ(MmGetMdlVirtualAddress(mdl), start);
    EXPECT_EQ(mdl->MdlFlags & MDL_PAGES_LOCKED, 0);

    MmProbeAndLockPages(mdl, KernelMode, IoModifyAccess);
    EXPECT_NE(mdl->MdlFlags & MDL_PAGES_LOCKED, 0);
    MmUnlockPages(mdl);
    EXPECT_EQ(mdl->MdlFlags & MDL_PAGES_LOCKED, 0);
    IoFreeMdl(mdl);
}

TEST_F(TdiMdlTest, MdlsLinkToAnIrp)
{
    std::vector<std::uint8_t> memory(kLength);
    PIRP irp = IoAllocateIrp(1, FALSE);
    PMDL first = IoAllocateMdl(memory.data(), kLength / 2, FALSE, FALSE, irp);
    PMDL second = IoAllocateMdl(memory.data() + kLength / 2, kLength / 2, TRUE, FALSE, irp);
    EXPECT_EQ(irp->MdlAddress, first);
    EXPECT_EQ(first->Next, second);
    IoFreeMdl(second);
    IoFreeMdl(first);
    IoFreeIrp(irp);
}

TEST_F(TdiMdlTest, NdisMemoryIsNonPagedPool)
{
    PVOID memory = nullptr;
    ASSERT_EQ(NdisAllocateMemory(&memory, kLength, 0, Anywhere()), NDIS_STATUS_SUCCESS);
    ASSERT_NE(memory, nullptr);
    // Usable at DISPATCH_LEVEL, as nonpaged memory is.
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    NdisFreeMemory(memory, kLength, 0);
    KeLowerIrql(irql);
}

TEST_F(TdiMdlDeathTest, LockingTwiceStops)
{
    std::vector<std::uint8_t> memory(kLength);
    PMDL mdl = IoAllocateMdl(memory.data(), kLength, FALSE, FALSE, nullptr);
    MmProbeAndLockPages(mdl, KernelMode, IoModifyAccess);
    EXPECT_DEATH(MmProbeAndLockPages(mdl, KernelMode, IoModifyAccess),
                 "DRIVER_VERIFIER_DETECTED_VIOLATION: MmProbeAndLockPages on MDL .* whose pages "
                 "are already locked");
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
}

TEST_F(TdiMdlDeathTest, UnlockingWhatIsNotLockedStops)
{
    std::vector<std::uint8_t> memory(kLength);
    PMDL mdl = IoAllocateMdl(memory.data(), kLength, FALSE, FALSE, nullptr);
    EXPECT_DEATH(
        MmUnlockPages(mdl),
        "DRIVER_VERIFIER_DETECTED_VIOLATION: MmUnlockPages with MDL .* whose pages are not locked");
    IoFreeMdl(mdl);
}

TEST_F(TdiMdlDeathTest, FreeingALockedMdlStops)
{
    std::vector<std::uint8_t> memory(kLength);
    PMDL mdl = IoAllocateMdl(memory.data(), kLength, FALSE, FALSE, nullptr);
    MmProbeAndLockPages(mdl, KernelMode, IoModifyAccess);
    EXPECT_DEATH(
        IoFreeMdl(mdl),
        "DRIVER_LEFT_LOCKED_PAGES_IN_PROCESS: IoFreeMdl of MDL .* whose pages are still locked");
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
}

TEST_F(TdiMdlDeathTest, NdisFreeWithAnotherLengthStops)
{
    PVOID memory = nullptr;
    ASSERT_EQ(NdisAllocateMemory(&memory, kLength, 0, Anywhere()), NDIS_STATUS_SUCCESS);
    EXPECT_DEATH(NdisFreeMemory(memory, kLength - 1, 0),
                 "BAD_POOL_CALLER: NdisFreeMemory of 2047 bytes at .*, which NdisAllocateMemory "
                 "gave 2048 bytes");
    NdisFreeMemory(memory, kLength, 0);
}

TEST_F(TdiMdlDeathTest, UnloadWithAnMdlLeftStops)
{
    PMDL forgotten = nullptr;
    driver_.Entry = [&forgotten](PDRIVER_OBJECT) {
        static std::uint8_t memory[kLength];
        forgotten = IoAllocateMdl(memory, kLength, FALSE, FALSE, nullptr);
        return STATUS_SUCCESS;
    };
    LoadDriver();
    EXPECT_DEATH(Kernel().UnloadDriver(),
                 "DRIVER_VERIFIER_DETECTED_VIOLATION: driver unloaded without freeing its MDLs: "
                 "MDL .* for 2048 bytes");
    IoFreeMdl(forgotten);
}

}  // namespace
}  // namespace hosttest
