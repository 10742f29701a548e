// The two NDIS routines a TDI client uses as its nonpaged allocator, with
// the WDK's names, types and values. Only these: the host has no miniports
// or protocol bindings.
#pragma once

#include <wdm.h>

typedef int NDIS_STATUS, *PNDIS_STATUS;
typedef PHYSICAL_ADDRESS NDIS_PHYSICAL_ADDRESS, *PNDIS_PHYSICAL_ADDRESS;

#define NDIS_STATUS_SUCCESS ((NDIS_STATUS)STATUS_SUCCESS)
#define NDIS_STATUS_FAILURE ((NDIS_STATUS)STATUS_UNSUCCESSFUL)
#define NDIS_STATUS_RESOURCES ((NDIS_STATUS)STATUS_INSUFFICIENT_RESOURCES)

// NdisAllocateMemory's MemoryFlags; 0 asks for ordinary nonpaged memory.
#define NDIS_MEMORY_CONTIGUOUS 0x00000001
#define NDIS_MEMORY_NONCACHED 0x00000002

ZEL_EXTERN_C_BEGIN

// Length and MemoryFlags of the free must be those of the allocation.
NDIS_STATUS NTAPI NdisAllocateMemory(PVOID* VirtualAddress, UINT Length, UINT MemoryFlags,
                                     NDIS_PHYSICAL_ADDRESS HighestAcceptableAddress);
VOID NTAPI NdisFreeMemory(PVOID VirtualAddress, UINT Length, UINT MemoryFlags);

ZEL_EXTERN_C_END
