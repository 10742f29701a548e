// mingw-w64's <ntddk.h> with what the driver needs from it made to work in
// C++ and what it lacks declared. Found before the DDK directory, so the
// driver includes <ntddk.h> on every platform.
#pragma once

// wdm.h and mingw's intrinsics both define these two in C++ mode.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

#include_next <ntddk.h>

// Registry query type checking (ntoskrnl since Windows 8): the type a value
// must have sits in the high byte of an entry's DefaultType.
#ifndef RTL_QUERY_REGISTRY_TYPECHECK
#define RTL_QUERY_REGISTRY_TYPECHECK 0x00000100
#define RTL_QUERY_REGISTRY_TYPECHECK_SHIFT 24
#endif
