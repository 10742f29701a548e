// The counted-string routines as the driver relies on them: what fits and
// what does not, NUL termination, integer conversion and ANSI <-> UTF-16
// with and without allocation.

#include <host/kernel.h>
#include <wdm.h>

#include <gtest/gtest.h>

#include "../support/temp_dir.h"
#include "rtl_unicode.h"

#include <array>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr WCHAR kSentinel = 0x5A5A;
constexpr CHAR kAnsiSentinel = 'Z';
constexpr USHORT kCountedStringCapacity = 32;  // the driver's minimum buffer

std::string Text(const UNICODE_STRING& string)
{
    if (string.Buffer == nullptr) {
        return "<null>";
    }
    return host::rtl::Utf16ToUtf8(host::rtl::ToU16(string.Buffer, string.Length / sizeof(WCHAR)))
        .value_or("<invalid UTF-16>");
}

std::string Text(const ANSI_STRING& string)
{
    return string.Buffer == nullptr ? "<null>" : std::string(string.Buffer, string.Length);
}

// A UNICODE_STRING over a buffer of `units` WCHARs, all set to kSentinel,
// one more sentinel beyond MaximumLength to catch overruns.
class WideBuffer {
public:
    explicit WideBuffer(USHORT maximumBytes) : storage_(maximumBytes / sizeof(WCHAR) + 1, kSentinel)
    {
        string_.Length = 0;
        string_.MaximumLength = maximumBytes;
        string_.Buffer = storage_.data();
    }
    UNICODE_STRING* Get() { return &string_; }
    const UNICODE_STRING& Str() const { return string_; }
    WCHAR At(std::size_t index) const { return storage_.at(index); }
    WCHAR BeyondEnd() const { return storage_.back(); }

private:
    std::vector<WCHAR> storage_;
    UNICODE_STRING string_{};
};

UNICODE_STRING Literal(PCWSTR text)
{
    UNICODE_STRING string;
    RtlInitUnicodeString(&string, text);
    return string;
}

class RtlStringTest : public ::testing::Test {
protected:
    RtlStringTest() : kernel_(host::KernelOptions{dir_.Path(), {}}) {}

    zel::test::TempDir dir_;
    host::Kernel kernel_;
};

// ---------------------------------------------------------------------------
// Initialisation
// ---------------------------------------------------------------------------

TEST_F(RtlStringTest, InitUnicodeStringDescribesLiteralWithRoomForNul)
{
    static const WCHAR kName[] = L"\\Device\\VSer5";
    UNICODE_STRING string;
    RtlInitUnicodeString(&string, kName);
    EXPECT_EQ(string.Length, 13 * sizeof(WCHAR));
    EXPECT_EQ(string.MaximumLength, string.Length + sizeof(WCHAR));
    EXPECT_EQ(string.Buffer, kName);
}

TEST_F(RtlStringTest, InitUnicodeStringOfNullIsEmptyWithoutBuffer)
{
    UNICODE_STRING string = Literal(L"");
    EXPECT_EQ(string.MaximumLength, sizeof(WCHAR));  // room for the NUL
    RtlInitUnicodeString(&string, nullptr);
    EXPECT_EQ(string.Length, 0);
    EXPECT_EQ(string.MaximumLength, 0);
    EXPECT_EQ(string.Buffer, nullptr);
}

TEST_F(RtlStringTest, InitAnsiStringCountsBytesAndNul)
{
    ANSI_STRING string;
    RtlInitAnsiString(&string, "COM5");
    EXPECT_EQ(string.Length, 4);
    EXPECT_EQ(string.MaximumLength, 5);
    RtlInitAnsiString(&string, nullptr);
    EXPECT_EQ(string.Length, 0);
    EXPECT_EQ(string.MaximumLength, 0);
    EXPECT_EQ(string.Buffer, nullptr);
}

TEST_F(RtlStringTest, AnsiToUnicodeSizeIncludesTheNul)
{
    ANSI_STRING string;
    RtlInitAnsiString(&string, "ZelVCOM");
    EXPECT_EQ(RtlxAnsiStringToUnicodeSize(&string), 16u);
    EXPECT_EQ(NlsMbCodePageTag, FALSE);
    RtlInitAnsiString(&string, "");
    EXPECT_EQ(RtlxAnsiStringToUnicodeSize(&string), 2u);
}

// ---------------------------------------------------------------------------
// ANSI <-> UTF-16
// ---------------------------------------------------------------------------

TEST_F(RtlStringTest, AnsiToUnicodeIntoExactBufferTerminates)
{
    ANSI_STRING source;
    RtlInitAnsiString(&source, "COM5");
    WideBuffer destination(5 * sizeof(WCHAR));
    ASSERT_EQ(RtlAnsiStringToUnicodeString(destination.Get(), &source, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(destination.Str().Length, 4 * sizeof(WCHAR));
    EXPECT_EQ(Text(destination.Str()), "COM5");
    EXPECT_EQ(destination.At(4), UNICODE_NULL);
    EXPECT_EQ(destination.BeyondEnd(), kSentinel);
}

TEST_F(RtlStringTest, AnsiToUnicodeWithoutRoomForNulOverflowsAndChangesNothing)
{
    ANSI_STRING source;
    RtlInitAnsiString(&source, "COM5");
    WideBuffer destination(4 * sizeof(WCHAR));
    EXPECT_EQ(RtlAnsiStringToUnicodeString(destination.Get(), &source, FALSE),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(destination.Str().Length, 0);
    EXPECT_EQ(destination.At(0), kSentinel);
}

TEST_F(RtlStringTest, AnsiToUnicodeOfEmptyTextLeavesOnlyTheNul)
{
    ANSI_STRING source;
    RtlInitAnsiString(&source, "");
    WideBuffer destination(kCountedStringCapacity);
    ASSERT_EQ(RtlAnsiStringToUnicodeString(destination.Get(), &source, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(destination.Str().Length, 0);
    EXPECT_EQ(destination.Str().MaximumLength, kCountedStringCapacity);
    EXPECT_EQ(destination.At(0), UNICODE_NULL);
    EXPECT_EQ(destination.At(1), kSentinel);
}

TEST_F(RtlStringTest, AnsiToUnicodeUsesWindows1252)
{
    const char bytes[] = {'\xE9', '\x80', '\x81', '\x9F', 'A', '\0'};
    ANSI_STRING source;
    RtlInitAnsiString(&source, bytes);
    WideBuffer destination(kCountedStringCapacity);
    ASSERT_EQ(RtlAnsiStringToUnicodeString(destination.Get(), &source, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(destination.At(0), 0x00E9);  // é
    EXPECT_EQ(destination.At(1), 0x20AC);  // €
    EXPECT_EQ(destination.At(2), 0x0081);  // undefined in 1252: kept as C1
    EXPECT_EQ(destination.At(3), 0x0178);  // Ÿ
    EXPECT_EQ(destination.At(4), L'A');
}

// Registry and object names are kept as UTF-8: every UTF-16 length of a
// code point, a surrogate pair included, converts whole and back.
TEST_F(RtlStringTest, NamesConvertToUtf8AndBackWhole)
{
    const std::u16string name = u"A\u00E9\u20AC\U0001F600";
    const std::optional<std::string> utf8 = host::rtl::Utf16ToUtf8(name);
    ASSERT_TRUE(utf8);
    EXPECT_EQ(*utf8, "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(host::rtl::Utf8ToUtf16(*utf8), name);
}

TEST_F(RtlStringTest, UnicodeToAnsiAllocatesAndFreeResets)
{
    UNICODE_STRING source = Literal(L"COM5");
    ANSI_STRING destination{};
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&destination, &source, TRUE), STATUS_SUCCESS);
    ASSERT_NE(destination.Buffer, nullptr);
    EXPECT_EQ(destination.Length, 4);
    EXPECT_EQ(destination.MaximumLength, 5);
    EXPECT_EQ(destination.Buffer[4], ANSI_NULL);
    EXPECT_EQ(Text(destination), "COM5");
    RtlFreeAnsiString(&destination);
    EXPECT_EQ(destination.Buffer, nullptr);
    EXPECT_EQ(destination.Length, 0);
}

TEST_F(RtlStringTest, UnicodeToAnsiMapsUnencodableUnitsToQuestionMarks)
{
    // é, €, a CJK ideograph, a surrogate pair (U+1F600), 'x'.
    static const WCHAR kText[] = {0x00E9, 0x20AC, 0x4E2D, 0xD83D, 0xDE00, L'x', 0};
    UNICODE_STRING source = Literal(kText);
    ANSI_STRING destination{};
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&destination, &source, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(Text(destination), std::string("\xE9\x80???x"));
    RtlFreeAnsiString(&destination);
}

TEST_F(RtlStringTest, UnicodeToAnsiIntoFixedBufferFitsOrOverflows)
{
    UNICODE_STRING source = Literal(L"Module");
    std::array<CHAR, 8> storage;
    storage.fill(kAnsiSentinel);

    ANSI_STRING tooSmall{0, 6, storage.data()};  // no room for the NUL
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&tooSmall, &source, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(tooSmall.Length, 0);
    EXPECT_EQ(storage[0], kAnsiSentinel);

    ANSI_STRING exact{0, 7, storage.data()};
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&exact, &source, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(Text(exact), "Module");
    EXPECT_EQ(storage[6], ANSI_NULL);
    EXPECT_EQ(storage[7], kAnsiSentinel);
}

// ---------------------------------------------------------------------------
// Integers
// ---------------------------------------------------------------------------

TEST_F(RtlStringTest, LargestIntegerTakesTenDigits)
{
    WideBuffer string(kCountedStringCapacity);
    ASSERT_EQ(RtlIntegerToUnicodeString(0xFFFFFFFFu, 10, string.Get()), STATUS_SUCCESS);
    EXPECT_EQ(string.Str().Length, 20);
    EXPECT_EQ(string.Str().MaximumLength, kCountedStringCapacity);
    EXPECT_EQ(Text(string.Str()), "4294967295");
    EXPECT_EQ(string.At(10), UNICODE_NULL);
}

TEST_F(RtlStringTest, IntegerNeedsRoomForTheNul)
{
    WideBuffer exact(3 * sizeof(WCHAR));
    EXPECT_EQ(RtlIntegerToUnicodeString(123, 10, exact.Get()), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(exact.Str().Length, 0);
    EXPECT_EQ(exact.At(0), kSentinel);

    WideBuffer fits(4 * sizeof(WCHAR));
    ASSERT_EQ(RtlIntegerToUnicodeString(123, 10, fits.Get()), STATUS_SUCCESS);
    EXPECT_EQ(Text(fits.Str()), "123");
    EXPECT_EQ(fits.At(3), UNICODE_NULL);
    EXPECT_EQ(fits.BeyondEnd(), kSentinel);
}

// ---------------------------------------------------------------------------
// Copy and append
// ---------------------------------------------------------------------------

TEST_F(RtlStringTest, CopyIntoExactBufferWritesNoNul)
{
    UNICODE_STRING source = Literal(L"COM12");
    WideBuffer destination(source.Length);
    RtlCopyUnicodeString(destination.Get(), &source);
    EXPECT_EQ(destination.Str().Length, source.Length);
    EXPECT_EQ(Text(destination.Str()), "COM12");
    EXPECT_EQ(destination.BeyondEnd(), kSentinel);
}

TEST_F(RtlStringTest, CopyTruncatesToMaximumLength)
{
    UNICODE_STRING source = Literal(L"ZelSerial255");
    WideBuffer destination(6 * sizeof(WCHAR));
    RtlCopyUnicodeString(destination.Get(), &source);
    EXPECT_EQ(destination.Str().Length, 6 * sizeof(WCHAR));
    EXPECT_EQ(Text(destination.Str()), "ZelSer");
    EXPECT_EQ(destination.BeyondEnd(), kSentinel);
}

TEST_F(RtlStringTest, CopyOfNullSourceEmptiesTheDestination)
{
    WideBuffer destination(kCountedStringCapacity);
    destination.Get()->Length = 4;
    RtlCopyUnicodeString(destination.Get(), nullptr);
    EXPECT_EQ(destination.Str().Length, 0);
}

TEST_F(RtlStringTest, AppendFitsAndTerminates)
{
    UNICODE_STRING head = Literal(L"COM");
    UNICODE_STRING tail = Literal(L"5");
    WideBuffer destination(kCountedStringCapacity);
    RtlCopyUnicodeString(destination.Get(), &head);
    ASSERT_EQ(RtlAppendUnicodeStringToString(destination.Get(), &tail), STATUS_SUCCESS);
    EXPECT_EQ(Text(destination.Str()), "COM5");
    EXPECT_EQ(destination.At(4), UNICODE_NULL);
}

TEST_F(RtlStringTest, AppendFillingTheBufferWritesNoNul)
{
    UNICODE_STRING head = Literal(L"COM");
    UNICODE_STRING tail = Literal(L"5");
    WideBuffer destination(4 * sizeof(WCHAR));
    RtlCopyUnicodeString(destination.Get(), &head);
    ASSERT_EQ(RtlAppendUnicodeStringToString(destination.Get(), &tail), STATUS_SUCCESS);
    EXPECT_EQ(Text(destination.Str()), "COM5");
    EXPECT_EQ(destination.BeyondEnd(), kSentinel);
}

TEST_F(RtlStringTest, AppendThatDoesNotFitAppendsNothing)
{
    UNICODE_STRING head = Literal(L"COM");
    UNICODE_STRING tail = Literal(L"12");
    WideBuffer destination(4 * sizeof(WCHAR));
    RtlCopyUnicodeString(destination.Get(), &head);
    EXPECT_EQ(RtlAppendUnicodeStringToString(destination.Get(), &tail), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(destination.Str().Length, 3 * sizeof(WCHAR));
    EXPECT_EQ(Text(destination.Str()), "COM");
    EXPECT_EQ(destination.At(3), UNICODE_NULL);  // the copy's terminator, untouched
}

TEST_F(RtlStringTest, AppendOfEmptySourceSucceedsEvenWhenFull)
{
    UNICODE_STRING head = Literal(L"COM5");
    UNICODE_STRING empty = Literal(L"");
    WideBuffer destination(head.Length);
    RtlCopyUnicodeString(destination.Get(), &head);
    EXPECT_EQ(RtlAppendUnicodeStringToString(destination.Get(), &empty), STATUS_SUCCESS);
    EXPECT_EQ(Text(destination.Str()), "COM5");
}

// ---------------------------------------------------------------------------
// Misuse the NT routines would not survive
// ---------------------------------------------------------------------------

using RtlStringDeathTest = RtlStringTest;

TEST_F(RtlStringDeathTest, MalformedSourceStringStopsTheHost)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    static const WCHAR kText[] = L"ab";
    UNICODE_STRING malformed{8, 4, const_cast<PWSTR>(kText)};  // Length > MaximumLength
    WideBuffer destination(kCountedStringCapacity);
    EXPECT_DEATH(RtlCopyUnicodeString(destination.Get(), &malformed), "MaximumLength");
}

TEST_F(RtlStringDeathTest, OddUnicodeLengthStopsTheHost)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    static const WCHAR kText[] = L"ab";
    UNICODE_STRING odd{3, 6, const_cast<PWSTR>(kText)};
    ANSI_STRING destination{};
    EXPECT_DEATH(RtlUnicodeStringToAnsiString(&destination, &odd, TRUE), "odd byte length");
}

}  // namespace
