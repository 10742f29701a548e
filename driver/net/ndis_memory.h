// The two NDIS routines the driver uses as the nonpaged allocator of its
// transport request contexts. mingw's <ndis.h> does not compile, so they are
// declared here in the WDK's shapes (UINT is the 32-bit ULONG).
#pragma once

#include "core/nt.h"

typedef int NDIS_STATUS;

extern "C" {
DECLSPEC_IMPORT NDIS_STATUS NTAPI NdisAllocateMemory(PVOID* VirtualAddress, ULONG Length,
                                                     ULONG MemoryFlags,
                                                     PHYSICAL_ADDRESS HighestAcceptableAddress);
DECLSPEC_IMPORT VOID NTAPI NdisFreeMemory(PVOID VirtualAddress, ULONG Length, ULONG MemoryFlags);
}

// NDIS_STATUS_SUCCESS.
constexpr NDIS_STATUS NDIS_ALLOCATION_SUCCEEDED = 0;
// Ordinary nonpaged memory: neither contiguous nor noncached.
constexpr ULONG NDIS_PLAIN_MEMORY = 0;
