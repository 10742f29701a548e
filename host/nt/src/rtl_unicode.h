// Character helpers shared by the Rtl string routines and the registry:
// the host's ANSI code page (Windows-1252), UTF-8 <-> UTF-16 for the C++
// side, and the upper-casing that makes names case-insensitive.
//
// Only char16_t and std::string cross into the standard library here; WCHAR
// strings are copied into std::u16string first.
#pragma once

#include <ntdef.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace host::rtl {

// The byte the host's ANSI code page uses for characters it cannot encode.
inline constexpr unsigned char kAnsiDefaultChar = '?';

char16_t AnsiToUtf16(unsigned char byte);
// kAnsiDefaultChar when the code unit has no byte in the code page.
unsigned char Utf16ToAnsi(char16_t unit);

// The upper-case form NT uses to compare names. Letters of the Latin-1,
// Latin Extended-A, basic Greek and basic Cyrillic blocks are mapped; every
// other code unit is its own upper case.
char16_t Upcase(char16_t unit);

// Counts the code units of a NUL-terminated wide string.
std::size_t WideLength(const WCHAR* text);
std::u16string ToU16(const WCHAR* text, std::size_t units);
// A NUL-terminated wide string; null gives an empty string.
std::u16string ToU16(const WCHAR* text);

// nullopt when the UTF-16 text holds an unpaired surrogate.
std::optional<std::string> Utf16ToUtf8(std::u16string_view text);
// nullopt when the bytes are not valid UTF-8.
std::optional<std::u16string> Utf8ToUtf16(std::string_view text);

// The rule a malformed string breaks, in verifier stops.
inline constexpr const char* kStringRule = "Rtl string";

// A string handed to a routine: its text must lie inside its buffer, in
// whole characters. A verifier stop names the routine otherwise.
void RequireWellFormed(const UNICODE_STRING* string, const char* routine);

// The case-folded UTF-8 form of a name, used as its lookup key; nullopt
// when the name is not valid UTF-8.
std::optional<std::string> FoldName(std::string_view utf8Name);

}  // namespace host::rtl
