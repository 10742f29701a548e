// The counted-string routines: what fits, NUL termination, conversions.
#include "host_test_driver.h"

namespace hosttest {
namespace {

constexpr WCHAR kSentinel = 0x5A5A;
constexpr USHORT kCapacity = 32;  // the driver's minimum buffer

// A UNICODE_STRING over a buffer of kSentinel, one more sentinel beyond
// MaximumLength to catch overruns.
class WideBuffer {
public:
    explicit WideBuffer(USHORT maximumBytes) : storage_(maximumBytes / sizeof(WCHAR) + 1, kSentinel)
    {
        string_ = UNICODE_STRING{0, maximumBytes, storage_.data()};
    }
    UNICODE_STRING* Get() { return &string_; }
    std::string Text() const { return Utf8(string_); }
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

using RtlStringTest = HostKernelTest;

// The ANSI code page is Windows-1252: é, €, an undefined byte kept as C1,
// Ÿ; back, what 1252 cannot encode (an ideograph, a surrogate pair) becomes
// '?'. A conversion, of text or of an integer, without room for its NUL
// writes nothing.
TEST_F(RtlStringTest, AnsiIsWindows1252AndConversionsNeedRoomForTheNul)
{
    ANSI_STRING source;
    RtlInitAnsiString(&source,
                      "\xE9\x80\x81\x9F"
                      "A");
    EXPECT_EQ(source.MaximumLength, 6);  // Init counts room for the NUL
    EXPECT_EQ(RtlxAnsiStringToUnicodeSize(&source), 6 * sizeof(WCHAR));
    WideBuffer small(5 * sizeof(WCHAR));
    EXPECT_EQ(RtlAnsiStringToUnicodeString(small.Get(), &source, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(small.Get()->Length, 0);
    EXPECT_EQ(small.At(0), kSentinel);
    WideBuffer exact(6 * sizeof(WCHAR));
    ASSERT_EQ(RtlAnsiStringToUnicodeString(exact.Get(), &source, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(std::vector<WCHAR>(exact.Get()->Buffer, exact.Get()->Buffer + 6),
              (std::vector<WCHAR>{0x00E9, 0x20AC, 0x0081, 0x0178, L'A', UNICODE_NULL}));
    EXPECT_EQ(exact.BeyondEnd(), kSentinel);

    static const WCHAR kText[] = {0x00E9, 0x20AC, 0x4E2D, 0xD83D, 0xDE00, L'x', 0};
    UNICODE_STRING text = Literal(kText);
    EXPECT_EQ(text.MaximumLength, text.Length + sizeof(WCHAR));
    ANSI_STRING ansi{};
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&ansi, &text, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(std::string(ansi.Buffer, ansi.Length), "\xE9\x80???x");
    EXPECT_EQ(ansi.Buffer[ansi.Length], ANSI_NULL);
    RtlFreeAnsiString(&ansi);
    CHAR storage[9] = "ZZZZZZZZ";
    ANSI_STRING tooSmall{0, 6, storage};
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&tooSmall, &text, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(tooSmall.Length, 0);
    EXPECT_EQ(storage[0], 'Z');
    ANSI_STRING fits{0, 7, storage};
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&fits, &text, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(std::string(storage), "\xE9\x80???x");
    EXPECT_EQ(storage[7], 'Z');  // nothing beyond MaximumLength

    for (const auto& [value, units, text] :
         {std::tuple<ULONG, USHORT, std::string>{0xFFFFFFFFu, 11, "4294967295"},
          {123, 3, ""},
          {123, 4, "123"}}) {
        WideBuffer buffer(units * sizeof(WCHAR));
        EXPECT_EQ(RtlIntegerToUnicodeString(value, 10, buffer.Get()),
                  text.empty() ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS);
        EXPECT_EQ(buffer.Text(), text);
        EXPECT_EQ(buffer.At(text.size()), text.empty() ? kSentinel : UNICODE_NULL) << units;
    }
}

// A copy truncates and writes no NUL into a full buffer; an append fits
// whole, terminated when there is room, or appends nothing.
TEST_F(RtlStringTest, CopyAndAppend)
{
    UNICODE_STRING source = Literal(L"COM12");
    WideBuffer shorter(3 * sizeof(WCHAR));
    RtlCopyUnicodeString(shorter.Get(), &source);
    EXPECT_EQ(shorter.Text(), "COM");
    EXPECT_EQ(shorter.BeyondEnd(), kSentinel);
    UNICODE_STRING digit = Literal(L"5");
    WideBuffer roomy(kCapacity);
    RtlCopyUnicodeString(roomy.Get(), shorter.Get());
    ASSERT_EQ(RtlAppendUnicodeStringToString(roomy.Get(), &digit), STATUS_SUCCESS);
    EXPECT_EQ(roomy.At(4), UNICODE_NULL);
    WideBuffer tight(4 * sizeof(WCHAR));
    RtlCopyUnicodeString(tight.Get(), shorter.Get());
    EXPECT_EQ(tight.At(3), UNICODE_NULL);
    EXPECT_EQ(RtlAppendUnicodeStringToString(tight.Get(), &source), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(tight.Text(), "COM");
    EXPECT_EQ(tight.At(3), UNICODE_NULL);
    ASSERT_EQ(RtlAppendUnicodeStringToString(tight.Get(), &digit), STATUS_SUCCESS);
    EXPECT_EQ(tight.Text(), "COM5");
    EXPECT_EQ(tight.BeyondEnd(), kSentinel);
    RtlCopyUnicodeString(tight.Get(), nullptr);
    EXPECT_EQ(tight.Get()->Length, 0);
}

using RtlStringDeathTest = HostKernelTest;

TEST_F(RtlStringDeathTest, MalformedStringsStopTheHost)
{
    static const WCHAR kText[] = L"ab";
    UNICODE_STRING tooLong{8, 4, const_cast<PWSTR>(kText)};  // Length > MaximumLength
    WideBuffer destination(kCapacity);
    EXPECT_DEATH(RtlCopyUnicodeString(destination.Get(), &tooLong), "MaximumLength");
    UNICODE_STRING odd{3, 6, const_cast<PWSTR>(kText)};
    ANSI_STRING ansi{};
    EXPECT_DEATH(RtlUnicodeStringToAnsiString(&ansi, &odd, TRUE), "odd byte length");
}

}  // namespace
}  // namespace hosttest
