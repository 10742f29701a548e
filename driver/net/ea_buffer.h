// The extended-attribute buffer of a transport open: one
// FILE_FULL_EA_INFORMATION naming what is opened ("TransportAddress",
// "ConnectionContext") with its value.
#pragma once

#include "core/nt.h"

// Allocates (paged pool) and fills the buffer; the caller frees it with
// ExFreePoolWithTag(buffer, 0). STATUS_INSUFFICIENT_RESOURCES when the pool
// refuses.
NTSTATUS BuildEaBuffer(UCHAR NameLength, PCSTR Name, USHORT ValueLength, const VOID* Value,
                       PFILE_FULL_EA_INFORMATION* Buffer, ULONG* BufferLength);
