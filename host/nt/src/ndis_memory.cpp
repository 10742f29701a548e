// NdisAllocateMemory/NdisFreeMemory: nonpaged pool under NDIS's own tag,
// one tag per combination of memory flags, so that a free with other flags
// than the allocation's stops like a free with the wrong tag.
#include <ndis.h>

#include "kernel_impl.h"
#include "pool.h"
#include "verifier.h"
#include "verifier_rules.h"

#include <cstdio>

namespace {

constexpr UINT kKnownFlags = NDIS_MEMORY_CONTIGUOUS | NDIS_MEMORY_NONCACHED;

// 'Ndm0' to 'Ndm3' (little-endian, as pool tags are written).
constexpr ULONG kNdisTagBase = ('0' << 24) | ('m' << 16) | ('d' << 8) | 'N';
constexpr int kFlagsTagShift = 24;

ULONG TagFor(UINT flags)
{
    return kNdisTagBase + ((flags & kKnownFlags) << kFlagsTagShift);
}

// Contiguous or noncached memory comes only at PASSIVE_LEVEL.
KIRQL MaximumIrqlFor(UINT flags)
{
    return (flags & kKnownFlags) != 0 ? PASSIVE_LEVEL : DISPATCH_LEVEL;
}

using host::verifier::PointerText;

}  // namespace

extern "C" {

NDIS_STATUS NTAPI NdisAllocateMemory(PVOID* VirtualAddress, UINT Length, UINT MemoryFlags,
                                     NDIS_PHYSICAL_ADDRESS HighestAcceptableAddress)
{
    UNREFERENCED_PARAMETER(HighestAcceptableAddress);
    host::verifier::RequireIrqlAtMost(MaximumIrqlFor(MemoryFlags), "NdisAllocateMemory");
    *VirtualAddress =
        host::Internals().PoolAllocator().Allocate(NonPagedPool, Length, TagFor(MemoryFlags));
    return *VirtualAddress != nullptr ? NDIS_STATUS_SUCCESS : NDIS_STATUS_FAILURE;
}

VOID NTAPI NdisFreeMemory(PVOID VirtualAddress, UINT Length, UINT MemoryFlags)
{
    host::verifier::RequireIrqlAtMost(MaximumIrqlFor(MemoryFlags), "NdisFreeMemory");
    host::Pool& pool = host::Internals().PoolAllocator();
    POOL_TYPE type = NonPagedPool;
    SIZE_T size = 0;
    if (pool.Lookup(VirtualAddress, &type, &size) && size != Length) {
        host::verifier::BugCheck(host::rule::kBadPoolCaller,
                                 "NdisFreeMemory of " + std::to_string(Length) + " bytes at " +
                                     PointerText(VirtualAddress) +
                                     ", which NdisAllocateMemory gave " + std::to_string(size) +
                                     " bytes");
    }
    ExFreePoolWithTag(VirtualAddress, TagFor(MemoryFlags));
}

}  // extern "C"
