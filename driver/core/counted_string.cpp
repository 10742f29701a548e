// CountedString operations. An allocation that fails leaves the string Empty,
// so a later system call sees no name rather than a dangling one; callers
// check IsEmpty() before handing a name to the system.
#include "core/counted_string.h"

namespace {

constexpr USHORT WCHAR_BYTES = sizeof(WCHAR);
constexpr ULONG DECIMAL_BASE = 10;
// Largest text a CountedString can hold with room for its terminating NUL.
constexpr ULONG LONGEST_TEXT_BYTES = MAXUSHORT - WCHAR_BYTES;

PWSTR AllocateText(USHORT size)
{
    return static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, size, COUNTED_STRING_POOL_TAG));
}

void FreeText(PWSTR buffer)
{
    ExFreePoolWithTag(buffer, 0);
}

}  // namespace

void CountedString::InitEmpty()
{
    Length = 0;
    MaximumLength = 0;
    Buffer = nullptr;
    Kind = StringKind::Empty;
}

// Gives this string a fresh Owned buffer of size bytes and no text, or leaves
// it Empty when there is nothing to allocate or the pool refuses.
void CountedString::AllocateOwned(USHORT size)
{
    InitEmpty();
    if (size < WCHAR_BYTES) {
        return;
    }
    PWSTR buffer = AllocateText(size);
    if (buffer == nullptr) {
        return;
    }
    buffer[0] = L'\0';
    Buffer = buffer;
    MaximumLength = size;
    Kind = StringKind::Owned;
}

UNICODE_STRING CountedString::AsUnicodeString() const
{
    UNICODE_STRING view;
    view.Length = Length;
    view.MaximumLength = MaximumLength;
    view.Buffer = Buffer;
    return view;
}

void CountedString::TakeLengthFrom(const UNICODE_STRING& view)
{
    Length = view.Length;
}

// Replaces the text with source's (what fits), then stores the NUL. An empty
// source has no buffer to copy from.
void CountedString::CopyText(const UNICODE_STRING& source)
{
    UNICODE_STRING view = AsUnicodeString();
    view.Length = 0;
    if (source.Length != 0) {
        RtlCopyUnicodeString(&view, &source);
    }
    TakeLengthFrom(view);
    TerminateText();
}

void CountedString::AppendText(const UNICODE_STRING& source)
{
    UNICODE_STRING view = AsUnicodeString();
    if (source.Length != 0) {
        RtlAppendUnicodeStringToString(&view, &source);
    }
    TakeLengthFrom(view);
    TerminateText();
}

// Stores the NUL after the text so Buffer also reads as a C wide string.
void CountedString::TerminateText()
{
    if (Buffer != nullptr && Length + WCHAR_BYTES <= MaximumLength) {
        Buffer[Length / WCHAR_BYTES] = L'\0';
    }
}

void CountedString::InitFromLiteral(PCWSTR literal)
{
    UNICODE_STRING view;
    RtlInitUnicodeString(&view, literal);
    Length = view.Length;
    MaximumLength = view.MaximumLength;
    Buffer = view.Buffer;
    Kind = StringKind::Borrowed;
}

void CountedString::InitFromAnsi(PCSZ text)
{
    ANSI_STRING ansi;
    RtlInitAnsiString(&ansi, text);
    ULONG size = NLS_MB_CODE_PAGE_TAG ? RtlxAnsiStringToUnicodeSize(&ansi)
                                      : ULONG(ansi.Length) * WCHAR_BYTES + WCHAR_BYTES;
    if (size < COUNTED_STRING_MINIMUM_SIZE) {
        size = COUNTED_STRING_MINIMUM_SIZE;
    }
    if (size > MAXUSHORT) {
        InitEmpty();
        return;
    }
    AllocateOwned(static_cast<USHORT>(size));
    if (Kind != StringKind::Owned) {
        return;
    }
    UNICODE_STRING view = AsUnicodeString();
    if (!NT_SUCCESS(RtlAnsiStringToUnicodeString(&view, &ansi, FALSE))) {
        view.Length = 0;
    }
    TakeLengthFrom(view);
    TerminateText();
}

void CountedString::InitFromInteger(ULONG value)
{
    AllocateOwned(COUNTED_STRING_MINIMUM_SIZE);
    if (Kind != StringKind::Owned) {
        return;
    }
    UNICODE_STRING view = AsUnicodeString();
    if (!NT_SUCCESS(RtlIntegerToUnicodeString(value, DECIMAL_BASE, &view))) {
        view.Length = 0;
    }
    TakeLengthFrom(view);
    TerminateText();
}

void CountedString::CopyFrom(const CountedString& other)
{
    UNICODE_STRING source = other.AsUnicodeString();
    AllocateOwned(other.MaximumLength);
    if (Kind == StringKind::Owned) {
        CopyText(source);
    }
}

CountedString CountedString::Assign(const CountedString& other)
{
    if (&other != this) {
        UNICODE_STRING source = other.AsUnicodeString();
        bool keepBuffer = Kind == StringKind::Owned && other.Length < Length;
        if (!keepBuffer) {
            USHORT size = other.MaximumLength;
            Release();
            AllocateOwned(size);
        }
        if (Kind == StringKind::Owned) {
            CopyText(source);
        }
    }
    CountedString copy;
    copy.CopyFrom(*this);
    return copy;
}

CountedString CountedString::Concat(const CountedString& other) const
{
    CountedString result;
    result.InitEmpty();
    ULONG length = ULONG(Length) + other.Length;
    if (length > LONGEST_TEXT_BYTES) {
        return result;
    }
    ULONG size = length + WCHAR_BYTES;
    if (size < COUNTED_STRING_MINIMUM_SIZE) {
        size = COUNTED_STRING_MINIMUM_SIZE;
    }
    result.AllocateOwned(static_cast<USHORT>(size));
    if (result.Kind != StringKind::Owned) {
        return result;
    }
    result.CopyText(AsUnicodeString());
    result.AppendText(other.AsUnicodeString());
    return result;
}

void CountedString::Append(const CountedString& other)
{
    CountedString joined = Concat(other);
    if (joined.IsEmpty()) {
        // Nothing to take: the result could not be built.
        Release();
        return;
    }
    CountedString copy = Assign(joined);
    copy.Release();
    joined.Release();
}

void CountedString::Release()
{
    if (Kind == StringKind::Owned && Buffer != nullptr) {
        FreeText(Buffer);
    }
    InitEmpty();
}

USHORT ByteSwap16(USHORT value)
{
    constexpr unsigned BITS_PER_BYTE = 8;
    constexpr USHORT LOW_BYTE = 0xFF;
    return static_cast<USHORT>(((value & LOW_BYTE) << BITS_PER_BYTE) | (value >> BITS_PER_BYTE));
}
