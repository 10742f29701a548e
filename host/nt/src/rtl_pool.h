// Pool tag of the buffers the Rtl routines allocate for their callers
// (RtlAnsiStringToUnicodeString, RtlUnicodeStringToAnsiString,
// RtlQueryRegistryValues); RtlFreeAnsiString frees with the same tag.
#pragma once

#include <ntdef.h>

namespace host::rtl {

// "Strg" as it reads in a pool dump (first character in the low byte).
inline constexpr ULONG kStringPoolTag = 0x67727453;

}  // namespace host::rtl
