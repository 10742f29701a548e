// Counted-string routines of the host kernel.
//
// They behave as the NT routines do where callers can observe it (lengths,
// NUL termination, statuses), and bug check where the NT routines would
// silently read or write through a malformed string.

#include "rtl_pool.h"
#include "rtl_unicode.h"
#include "verifier.h"

#include <wdm.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <type_traits>

// The host's ANSI code page is single-byte (Windows-1252).
BOOLEAN NlsMbCodePageTag = FALSE;

namespace host::rtl {

namespace {

// Windows-1252 assigns these characters to bytes 0x80-0x9F; the five bytes
// it leaves undefined map to the C1 control of the same value, as Windows'
// own conversion does.
constexpr unsigned char kCp1252SpecialFirst = 0x80;
constexpr std::array<char16_t, 32> kCp1252Special = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};
constexpr char16_t kLatin1Last = 0x00FF;

// Case pairs of the blocks Upcase covers.
constexpr char16_t kCaseDistance = 0x20;
constexpr char16_t kLatin1LowerFirst = 0x00E0;
constexpr char16_t kLatin1LowerLast = 0x00FE;
constexpr char16_t kDivisionSign = 0x00F7;
constexpr char16_t kMicroSign = 0x00B5;
constexpr char16_t kGreekCapitalMu = 0x039C;
constexpr char16_t kYDiaeresisLower = 0x00FF;
constexpr char16_t kYDiaeresisUpper = 0x0178;
constexpr char16_t kLatinExtAFirst = 0x0100;
constexpr char16_t kLatinExtAEvenPairsEnd = 0x0137;   // upper at even, lower at odd
constexpr char16_t kLatinExtAOddPairsFirst = 0x0139;  // upper at odd, lower at even
constexpr char16_t kLatinExtAOddPairsEnd = 0x0148;
constexpr char16_t kLatinExtAEvenPairs2First = 0x014A;
constexpr char16_t kLatinExtAEvenPairs2End = 0x0177;
constexpr char16_t kLatinExtAOddPairs2First = 0x0179;
constexpr char16_t kLatinExtAOddPairs2End = 0x017E;
constexpr char16_t kGreekLowerFirst = 0x03B1;
constexpr char16_t kGreekLowerLast = 0x03CB;
constexpr char16_t kGreekFinalSigma = 0x03C2;
constexpr char16_t kGreekCapitalSigma = 0x03A3;
constexpr char16_t kCyrillicLowerFirst = 0x0430;
constexpr char16_t kCyrillicLowerLast = 0x044F;
constexpr char16_t kCyrillicExtLowerFirst = 0x0450;
constexpr char16_t kCyrillicExtLowerLast = 0x045F;
constexpr char16_t kCyrillicExtDistance = 0x50;

constexpr char16_t kHighSurrogateFirst = 0xD800;
constexpr char16_t kLowSurrogateFirst = 0xDC00;
constexpr char16_t kSurrogateLast = 0xDFFF;
constexpr char32_t kSurrogateBits = 10;
constexpr char32_t kSurrogateMask = 0x3FF;
constexpr char32_t kSupplementaryFirst = 0x10000;
constexpr char32_t kUnicodeLast = 0x10FFFF;

bool InRange(char16_t unit, char16_t first, char16_t last)
{
    return unit >= first && unit <= last;
}

// Pairs laid out as (upper, lower) starting at an even or an odd code point.
char16_t UpcasePair(char16_t unit, bool upperIsEven)
{
    const bool isEven = unit % 2 == 0;
    return isEven == upperIsEven ? unit : static_cast<char16_t>(unit - 1);
}

void AppendUtf8(std::string& out, char32_t codePoint)
{
    constexpr char32_t kOneByteLast = 0x7F;
    constexpr char32_t kTwoBytesLast = 0x7FF;
    constexpr char32_t kThreeBytesLast = 0xFFFF;
    constexpr unsigned kContinuation = 0x80;
    constexpr unsigned kContinuationMask = 0x3F;
    constexpr unsigned kLead2 = 0xC0;
    constexpr unsigned kLead3 = 0xE0;
    constexpr unsigned kLead4 = 0xF0;
    constexpr unsigned kBitsPerContinuation = 6;

    auto continuation = [&](unsigned shift) {
        out.push_back(
            static_cast<char>(kContinuation | ((codePoint >> shift) & kContinuationMask)));
    };
    if (codePoint <= kOneByteLast) {
        out.push_back(static_cast<char>(codePoint));
    } else if (codePoint <= kTwoBytesLast) {
        out.push_back(static_cast<char>(kLead2 | (codePoint >> kBitsPerContinuation)));
        continuation(0);
    } else if (codePoint <= kThreeBytesLast) {
        out.push_back(static_cast<char>(kLead3 | (codePoint >> (2 * kBitsPerContinuation))));
        continuation(kBitsPerContinuation);
        continuation(0);
    } else {
        out.push_back(static_cast<char>(kLead4 | (codePoint >> (3 * kBitsPerContinuation))));
        continuation(2 * kBitsPerContinuation);
        continuation(kBitsPerContinuation);
        continuation(0);
    }
}

}  // namespace

char16_t AnsiToUtf16(unsigned char byte)
{
    if (byte >= kCp1252SpecialFirst && byte < kCp1252SpecialFirst + kCp1252Special.size()) {
        return kCp1252Special[byte - kCp1252SpecialFirst];
    }
    return byte;
}

unsigned char Utf16ToAnsi(char16_t unit)
{
    const bool inSpecialRange =
        unit >= kCp1252SpecialFirst && unit < kCp1252SpecialFirst + kCp1252Special.size();
    if (unit <= kLatin1Last && !inSpecialRange) {
        return static_cast<unsigned char>(unit);
    }
    for (std::size_t i = 0; i < kCp1252Special.size(); ++i) {
        if (kCp1252Special[i] == unit) {
            return static_cast<unsigned char>(kCp1252SpecialFirst + i);
        }
    }
    return kAnsiDefaultChar;
}

char16_t Upcase(char16_t unit)
{
    if (InRange(unit, u'a', u'z') || InRange(unit, kLatin1LowerFirst, kLatin1LowerLast)) {
        return unit == kDivisionSign ? unit : static_cast<char16_t>(unit - kCaseDistance);
    }
    if (unit == kMicroSign) {
        return kGreekCapitalMu;
    }
    if (unit == kYDiaeresisLower) {
        return kYDiaeresisUpper;
    }
    if (InRange(unit, kLatinExtAFirst, kLatinExtAEvenPairsEnd) ||
        InRange(unit, kLatinExtAEvenPairs2First, kLatinExtAEvenPairs2End)) {
        return UpcasePair(unit, true);
    }
    if (InRange(unit, kLatinExtAOddPairsFirst, kLatinExtAOddPairsEnd) ||
        InRange(unit, kLatinExtAOddPairs2First, kLatinExtAOddPairs2End)) {
        return UpcasePair(unit, false);
    }
    if (unit == kGreekFinalSigma) {
        return kGreekCapitalSigma;
    }
    if (InRange(unit, kGreekLowerFirst, kGreekLowerLast) ||
        InRange(unit, kCyrillicLowerFirst, kCyrillicLowerLast)) {
        return static_cast<char16_t>(unit - kCaseDistance);
    }
    if (InRange(unit, kCyrillicExtLowerFirst, kCyrillicExtLowerLast)) {
        return static_cast<char16_t>(unit - kCyrillicExtDistance);
    }
    return unit;
}

std::size_t WideLength(const WCHAR* text)
{
    std::size_t units = 0;
    while (text[units] != UNICODE_NULL) {
        ++units;
    }
    return units;
}

std::u16string ToU16(const WCHAR* text, std::size_t units)
{
    std::u16string result(units, u'\0');
    for (std::size_t i = 0; i < units; ++i) {
        result[i] = static_cast<char16_t>(text[i]);
    }
    return result;
}

std::u16string ToU16(const WCHAR* text)
{
    return text == nullptr ? std::u16string() : ToU16(text, WideLength(text));
}

std::optional<std::string> Utf16ToUtf8(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        if (unit < kHighSurrogateFirst || unit > kSurrogateLast) {
            AppendUtf8(out, unit);
            continue;
        }
        const bool isHigh = unit < kLowSurrogateFirst;
        if (!isHigh || i + 1 == text.size() ||
            !InRange(text[i + 1], kLowSurrogateFirst, kSurrogateLast)) {
            return std::nullopt;
        }
        const char32_t high = unit - kHighSurrogateFirst;
        const char32_t low = text[i + 1] - kLowSurrogateFirst;
        AppendUtf8(out, kSupplementaryFirst + ((high << kSurrogateBits) | low));
        ++i;
    }
    return out;
}

std::optional<std::u16string> Utf8ToUtf16(std::string_view text)
{
    struct Lead {
        unsigned char mask;
        unsigned char value;
        std::size_t length;
        char32_t minimum;  // smallest code point the length may encode
    };
    constexpr std::array<Lead, 4> kLeads = {{
        {0x80, 0x00, 1, 0x0},
        {0xE0, 0xC0, 2, 0x80},
        {0xF0, 0xE0, 3, 0x800},
        {0xF8, 0xF0, 4, 0x10000},
    }};
    constexpr unsigned char kContinuationMask = 0xC0;
    constexpr unsigned char kContinuationValue = 0x80;
    constexpr unsigned char kContinuationBits = 0x3F;
    constexpr unsigned kBitsPerContinuation = 6;

    std::u16string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto first = static_cast<unsigned char>(text[i]);
        const Lead* lead = nullptr;
        for (const Lead& candidate : kLeads) {
            if ((first & candidate.mask) == candidate.value) {
                lead = &candidate;
                break;
            }
        }
        if (lead == nullptr || i + lead->length > text.size()) {
            return std::nullopt;
        }
        char32_t codePoint = first & static_cast<unsigned char>(~lead->mask);
        for (std::size_t k = 1; k < lead->length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & kContinuationMask) != kContinuationValue) {
                return std::nullopt;
            }
            codePoint = (codePoint << kBitsPerContinuation) | (next & kContinuationBits);
        }
        const bool isSurrogate = codePoint >= kHighSurrogateFirst && codePoint <= kSurrogateLast;
        if (codePoint < lead->minimum || codePoint > kUnicodeLast || isSurrogate) {
            return std::nullopt;
        }
        if (codePoint >= kSupplementaryFirst) {
            const char32_t offset = codePoint - kSupplementaryFirst;
            out.push_back(static_cast<char16_t>(kHighSurrogateFirst + (offset >> kSurrogateBits)));
            out.push_back(static_cast<char16_t>(kLowSurrogateFirst + (offset & kSurrogateMask)));
        } else {
            out.push_back(static_cast<char16_t>(codePoint));
        }
        i += lead->length;
    }
    return out;
}

std::optional<std::string> FoldName(std::string_view utf8Name)
{
    std::optional<std::u16string> wide = Utf8ToUtf16(utf8Name);
    if (!wide) {
        return std::nullopt;
    }
    for (char16_t& unit : *wide) {
        unit = Upcase(unit);
    }
    return Utf16ToUtf8(*wide);
}

void RequireWellFormed(const UNICODE_STRING* string, const char* routine)
{
    if (string->Length % sizeof(WCHAR) != 0) {
        verifier::BugCheck(kStringRule, std::string(routine) + ": odd byte length " +
                                            std::to_string(string->Length) +
                                            " in a UNICODE_STRING");
    }
    if (string->Length > string->MaximumLength) {
        verifier::BugCheck(kStringRule,
                           std::string(routine) + ": Length " + std::to_string(string->Length) +
                               " exceeds MaximumLength " + std::to_string(string->MaximumLength));
    }
    if (string->Buffer == nullptr && string->Length != 0) {
        verifier::BugCheck(kStringRule, std::string(routine) + ": NULL Buffer with Length " +
                                            std::to_string(string->Length));
    }
}

}  // namespace host::rtl

// ---------------------------------------------------------------------------
// The exported routines
// ---------------------------------------------------------------------------

namespace {

using host::rtl::kStringRule;
using host::rtl::RequireWellFormed;
using host::verifier::BugCheck;
using host::verifier::RequireIrqlAtMost;

// RtlInitUnicodeString and RtlInitAnsiString cap the length they describe so
// that MaximumLength (length + NUL) still fits a USHORT.
constexpr std::size_t kMaxInitUnicodeBytes = UNICODE_STRING_MAX_BYTES - sizeof(WCHAR);
constexpr std::size_t kMaxInitAnsiBytes = MAXUSHORT - sizeof(CHAR);

constexpr ULONG kDefaultRadix = 10;
constexpr std::array<ULONG, 4> kRadixes = {2, 8, 10, 16};
constexpr char kDigits[] = "0123456789ABCDEF";
constexpr std::size_t kMaxDigits = 32;  // a 32-bit value in base 2

void RequireArgument(const void* pointer, const char* routine, const char* argument)
{
    if (pointer == nullptr) {
        BugCheck(kStringRule, std::string(routine) + ": " + argument + " is NULL");
    }
}

void RequireWellFormed(const STRING* string, const char* routine)
{
    if (string->Length > string->MaximumLength) {
        BugCheck(kStringRule, std::string(routine) + ": Length " + std::to_string(string->Length) +
                                  " exceeds MaximumLength " +
                                  std::to_string(string->MaximumLength));
    }
    if (string->Buffer == nullptr && string->Length != 0) {
        BugCheck(kStringRule, std::string(routine) + ": NULL Buffer with Length " +
                                  std::to_string(string->Length));
    }
}

// Stores a NUL after the text when a whole WCHAR still fits the buffer.
void TerminateIfRoom(UNICODE_STRING* string)
{
    if (static_cast<std::size_t>(string->Length) + sizeof(WCHAR) <= string->MaximumLength) {
        string->Buffer[string->Length / sizeof(WCHAR)] = UNICODE_NULL;
    }
}

// The characters before the NUL.
std::size_t TextLength(const CHAR* text)
{
    return std::strlen(text);
}

std::size_t TextLength(const WCHAR* text)
{
    return host::rtl::WideLength(text);
}

// RtlInitUnicodeString and RtlInitAnsiString: the string describes the
// caller's NUL-terminated text in place, or nothing for a null text.
template <typename String, typename Char>
void InitString(String* destination, const Char* text, std::size_t maxBytes, const char* routine)
{
    RequireArgument(destination, routine, "DestinationString");
    destination->Buffer = const_cast<Char*>(text);
    if (text == nullptr) {
        destination->Length = 0;
        destination->MaximumLength = 0;
        return;
    }
    const std::size_t bytes = std::min(TextLength(text) * sizeof(Char), maxBytes);
    destination->Length = static_cast<USHORT>(bytes);
    destination->MaximumLength = static_cast<USHORT>(bytes + sizeof(Char));
}

// What both conversions check before they touch either string.
template <typename String>
void RequireConversionArguments(const void* destination, const String* source,
                                const char* routine)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, routine);
    RequireArgument(destination, routine, "DestinationString");
    RequireArgument(source, routine, "SourceString");
    RequireWellFormed(source, routine);
}

// The destination of a conversion: a new buffer of size bytes from the
// string pool, or the caller's, which must hold them.
template <typename String>
NTSTATUS PrepareDestination(String* Destination, std::size_t size, BOOLEAN allocate,
                            const char* routine)
{
    using Char = std::remove_pointer_t<decltype(Destination->Buffer)>;
    if (allocate) {
        auto* buffer =
            static_cast<Char*>(ExAllocatePoolWithTag(PagedPool, size, host::rtl::kStringPoolTag));
        if (buffer == nullptr) {
            return STATUS_NO_MEMORY;
        }
        Destination->Buffer = buffer;
        Destination->MaximumLength = static_cast<USHORT>(size);
        return STATUS_SUCCESS;
    }
    if (size > Destination->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    RequireArgument(Destination->Buffer, routine, "DestinationString->Buffer");
    return STATUS_SUCCESS;
}

}  // namespace

extern "C" {

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    InitString(DestinationString, SourceString, kMaxInitUnicodeBytes, "RtlInitUnicodeString");
}

VOID NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString)
{
    InitString(DestinationString, SourceString, kMaxInitAnsiBytes, "RtlInitAnsiString");
}

ULONG NTAPI RtlxAnsiStringToUnicodeSize(PCANSI_STRING AnsiString)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "RtlxAnsiStringToUnicodeSize");
    RequireArgument(AnsiString, "RtlxAnsiStringToUnicodeSize", "AnsiString");
    // One UTF-16 unit per byte in a single-byte code page, plus the NUL.
    return (static_cast<ULONG>(AnsiString->Length) + sizeof(ANSI_NULL)) * sizeof(WCHAR);
}

NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString,
                                            PCANSI_STRING SourceString,
                                            BOOLEAN AllocateDestinationString)
{
    constexpr const char* kRoutine = "RtlAnsiStringToUnicodeString";
    RequireConversionArguments(DestinationString, SourceString, kRoutine);

    const ULONG size = RtlxAnsiStringToUnicodeSize(SourceString);
    if (size > MAXUSHORT) {
        return STATUS_INVALID_PARAMETER_2;
    }
    const auto textBytes = static_cast<USHORT>(size - sizeof(WCHAR));
    const NTSTATUS prepared =
        PrepareDestination(DestinationString, size, AllocateDestinationString, kRoutine);
    if (!NT_SUCCESS(prepared)) {
        return prepared;
    }
    for (USHORT i = 0; i < SourceString->Length; ++i) {
        DestinationString->Buffer[i] =
            host::rtl::AnsiToUtf16(static_cast<unsigned char>(SourceString->Buffer[i]));
    }
    DestinationString->Length = textBytes;
    DestinationString->Buffer[SourceString->Length] = UNICODE_NULL;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                            PCUNICODE_STRING SourceString,
                                            BOOLEAN AllocateDestinationString)
{
    constexpr const char* kRoutine = "RtlUnicodeStringToAnsiString";
    RequireConversionArguments(DestinationString, SourceString, kRoutine);

    const std::size_t units = SourceString->Length / sizeof(WCHAR);
    const std::size_t size = units + sizeof(ANSI_NULL);
    const NTSTATUS prepared =
        PrepareDestination(DestinationString, size, AllocateDestinationString, kRoutine);
    if (!NT_SUCCESS(prepared)) {
        return prepared;
    }
    for (std::size_t i = 0; i < units; ++i) {
        DestinationString->Buffer[i] = static_cast<CHAR>(
            host::rtl::Utf16ToAnsi(static_cast<char16_t>(SourceString->Buffer[i])));
    }
    DestinationString->Buffer[units] = ANSI_NULL;
    DestinationString->Length = static_cast<USHORT>(units);
    return STATUS_SUCCESS;
}

VOID NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "RtlFreeAnsiString");
    RequireArgument(AnsiString, "RtlFreeAnsiString", "AnsiString");
    if (AnsiString->Buffer != nullptr) {
        ExFreePoolWithTag(AnsiString->Buffer, host::rtl::kStringPoolTag);
        *AnsiString = STRING{};
    }
}

NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String)
{
    constexpr const char* kRoutine = "RtlIntegerToUnicodeString";
    RequireIrqlAtMost(PASSIVE_LEVEL, kRoutine);
    RequireArgument(String, kRoutine, "String");
    const ULONG radix = Base == 0 ? kDefaultRadix : Base;
    bool known = false;
    for (ULONG candidate : kRadixes) {
        known = known || candidate == radix;
    }
    if (!known) {
        return STATUS_INVALID_PARAMETER;
    }

    std::array<char, kMaxDigits> reversed{};
    std::size_t count = 0;
    do {
        reversed[count++] = kDigits[Value % radix];
        Value /= radix;
    } while (Value != 0);

    // The digits and a NUL must fit, as RtlAnsiStringToUnicodeString requires.
    if ((count + 1) * sizeof(WCHAR) > String->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    RequireArgument(String->Buffer, kRoutine, "String->Buffer");
    for (std::size_t i = 0; i < count; ++i) {
        String->Buffer[i] = static_cast<WCHAR>(reversed[count - 1 - i]);
    }
    String->Buffer[count] = UNICODE_NULL;
    String->Length = static_cast<USHORT>(count * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    constexpr const char* kRoutine = "RtlCopyUnicodeString";
    RequireIrqlAtMost(DISPATCH_LEVEL, kRoutine);
    RequireArgument(DestinationString, kRoutine, "DestinationString");
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    RequireWellFormed(SourceString, kRoutine);
    USHORT bytes = SourceString->Length;
    if (bytes > DestinationString->MaximumLength) {
        // Whole characters only: a NUL-less copy never ends on half a WCHAR.
        bytes = static_cast<USHORT>(DestinationString->MaximumLength & ~(sizeof(WCHAR) - 1));
    }
    if (bytes != 0) {
        RequireArgument(DestinationString->Buffer, kRoutine, "DestinationString->Buffer");
        std::memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    }
    DestinationString->Length = bytes;
    if (DestinationString->Buffer != nullptr) {
        TerminateIfRoom(DestinationString);
    }
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    constexpr const char* kRoutine = "RtlAppendUnicodeStringToString";
    RequireIrqlAtMost(DISPATCH_LEVEL, kRoutine);
    RequireArgument(Destination, kRoutine, "Destination");
    RequireArgument(Source, kRoutine, "Source");
    RequireWellFormed(Destination, kRoutine);
    RequireWellFormed(Source, kRoutine);
    if (Source->Length == 0) {
        return STATUS_SUCCESS;
    }
    if (static_cast<std::size_t>(Destination->Length) + Source->Length >
        Destination->MaximumLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    RequireArgument(Destination->Buffer, kRoutine, "Destination->Buffer");
    std::memmove(Destination->Buffer + Destination->Length / sizeof(WCHAR), Source->Buffer,
                 Source->Length);
    Destination->Length = static_cast<USHORT>(Destination->Length + Source->Length);
    TerminateIfRoom(Destination);
    return STATUS_SUCCESS;
}

}  // extern "C"
