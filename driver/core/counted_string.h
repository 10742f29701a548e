// CountedString: the driver's counted UTF-16 string that knows whether it
// owns its buffer. Every device name, link, registry path and value name is
// built with it at run time from literals and numbers.
//
// A plain aggregate (no constructors): it lives in zero-filled device
// extensions, where all-zero is the Empty string.
#pragma once

#include "core/nt.h"

enum class StringKind : ULONG {
    Empty = 0,     // no buffer; Length and MaximumLength are 0
    Borrowed = 1,  // Buffer is storage the string does not own; never freed
    Owned = 2,     // Buffer came from paged pool with COUNTED_STRING_POOL_TAG
};

// Pool tag of string buffers: the bytes 61 06 00 00.
constexpr ULONG COUNTED_STRING_POOL_TAG = 0x661;
// Every allocated text buffer is at least this large.
constexpr USHORT COUNTED_STRING_MINIMUM_SIZE = 32;

struct CountedString {
    // The first three members are the shape of a UNICODE_STRING.
    USHORT Length;         // text bytes, without the terminating NUL
    USHORT MaximumLength;  // buffer bytes
    PWSTR Buffer;          // the text, or null
    StringKind Kind;

    void InitEmpty();
    void InitFromLiteral(PCWSTR literal);
    void InitFromAnsi(PCSZ text);
    void InitFromInteger(ULONG value);
    void CopyFrom(const CountedString& other);
    // Takes other's text; returns a separate Owned copy the caller releases.
    CountedString Assign(const CountedString& other);
    CountedString Concat(const CountedString& other) const;
    void Append(const CountedString& other);
    void Release();

    bool IsEmpty() const { return Kind == StringKind::Empty || Buffer == nullptr; }
    // A view for the system routines that take a UNICODE_STRING.
    UNICODE_STRING AsUnicodeString() const;

private:
    void AllocateOwned(USHORT size);
    void TakeLengthFrom(const UNICODE_STRING& view);
    void CopyText(const UNICODE_STRING& source);
    void AppendText(const UNICODE_STRING& source);
    void TerminateText();
};

// Exchanges the two bytes: puts a TCP port into network byte order.
USHORT ByteSwap16(USHORT value);
