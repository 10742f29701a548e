// The host's driver verifier: rules the NT kernel enforces with a bug check.
// A violation stops the process with a message naming the rule.
#pragma once

#include <wdm.h>

#include <string>

namespace host::verifier {

[[noreturn]] void BugCheck(const char* rule, const std::string& detail);
// routine was handed p to free, but no live object of the kind is there:
// it was never allocated, or has been freed already.
[[noreturn]] void BugCheckBadFree(const char* routine, const void* p, const char* kind);

// A status or code as a bug check message shows it: 0x and eight hex digits.
std::string Hex(ULONG value);
// An object's address as a bug check message shows it.
std::string PointerText(const void* p);

// Bug check unless the calling thread runs at or below maxIrql.
void RequireIrqlAtMost(KIRQL maxIrql, const char* routine);

}  // namespace host::verifier
