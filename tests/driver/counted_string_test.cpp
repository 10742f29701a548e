// CountedString and ByteSwap16: sizes, ownership and the edges of each
// operation. The host pool stops the process on a double free, so "frees
// only once" is checked by surviving the second Release.
#include "driver_fixture.h"

#include "core/counted_string.h"

namespace zeltest {
namespace {

class CountedStringTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        host::KernelOptions options;
        options.StateDirectory = state_.Path();
        options.Log = [](host::LogLevel, const std::string&) {};
        kernel_ = std::make_unique<host::Kernel>(options);
    }
    void TearDown() override { kernel_.reset(); }

    static std::string Text(const CountedString& s) { return Utf8(s.AsUnicodeString()); }

    // Buffers are compared as addresses: gtest would print a WCHAR pointer as
    // a wide string of the wrong width.
    static const void* Address(const WCHAR* p) { return p; }
    static const void* Address(std::nullptr_t) { return nullptr; }

    // The NUL an Owned string keeps after its text.
    static bool Terminated(const CountedString& s)
    {
        return s.Buffer != nullptr && s.Buffer[s.Length / sizeof(WCHAR)] == L'\0';
    }

    TempDir state_;
    std::unique_ptr<host::Kernel> kernel_;
};

TEST_F(CountedStringTest, InitEmptyHasNoBuffer)
{
    CountedString s;
    s.InitEmpty();
    EXPECT_EQ(s.Length, 0);
    EXPECT_EQ(s.MaximumLength, 0);
    EXPECT_EQ(Address(s.Buffer), Address(nullptr));
    EXPECT_EQ(s.Kind, StringKind::Empty);
    EXPECT_TRUE(s.IsEmpty());
}

TEST_F(CountedStringTest, LiteralIsBorrowedAndCountsItsNul)
{
    static const WCHAR literal[] = L"\\Device\\VSer";
    CountedString s;
    s.InitFromLiteral(literal);
    EXPECT_EQ(s.Kind, StringKind::Borrowed);
    EXPECT_EQ(Address(s.Buffer), Address(literal));
    EXPECT_EQ(s.Length, 12 * sizeof(WCHAR));
    EXPECT_EQ(s.MaximumLength, s.Length + sizeof(WCHAR));
    s.Release();  // frees nothing
    EXPECT_EQ(s.Kind, StringKind::Empty);
    EXPECT_EQ(Utf8(literal, 12), "\\Device\\VSer");
}

TEST_F(CountedStringTest, IntegerZeroIsOneDigit)
{
    CountedString s;
    s.InitFromInteger(0);
    EXPECT_EQ(s.Kind, StringKind::Owned);
    EXPECT_EQ(Text(s), "0");
    EXPECT_EQ(s.Length, 2);
    EXPECT_EQ(s.MaximumLength, COUNTED_STRING_MINIMUM_SIZE);
    EXPECT_TRUE(Terminated(s));
    s.Release();
}

TEST_F(CountedStringTest, LargestIntegerTakesTenDigits)
{
    CountedString s;
    s.InitFromInteger(0xFFFFFFFF);
    EXPECT_EQ(Text(s), "4294967295");
    EXPECT_EQ(s.Length, 20);
    EXPECT_EQ(s.MaximumLength, 32);
    EXPECT_TRUE(Terminated(s));
    s.Release();
}

TEST_F(CountedStringTest, IntegerHasNoLeadingZerosOrSign)
{
    CountedString s;
    s.InitFromInteger(1000);
    EXPECT_EQ(Text(s), "1000");
    s.Release();
    s.InitFromInteger(0x80000000);
    EXPECT_EQ(Text(s), "2147483648");
    s.Release();
}

TEST_F(CountedStringTest, AppendToLiteralGivesOwnedString)
{
    static const WCHAR literal[] = L"\\DosDevices\\COM";  // 15 characters
    CountedString name;
    CountedString digit;
    name.InitFromLiteral(literal);
    digit.InitFromInteger(5);
    name.Append(digit);
    EXPECT_EQ(name.Kind, StringKind::Owned);
    EXPECT_NE(Address(name.Buffer), Address(literal));
    EXPECT_EQ(Text(name), "\\DosDevices\\COM5");
    EXPECT_EQ(name.Length, 32);
    EXPECT_EQ(name.MaximumLength, 34);  // 32 text bytes: not shorter than 30
    EXPECT_TRUE(Terminated(name));
    EXPECT_EQ(Utf8(literal, 15), "\\DosDevices\\COM");
    name.Release();
    digit.Release();
}

TEST_F(CountedStringTest, AppendBufferIsLengthPlusNulOrAtLeast32)
{
    struct Case {
        const WCHAR* Literal;
        USHORT ExpectedMaximum;
    };
    // Totals of 28, 30 and 32 bytes after a one-digit append.
    const Case cases[] = {
        {L"ABCDEFGHIJKLM", 32},    // 13 + 1 = 14 characters: 28 bytes < 30
        {L"ABCDEFGHIJKLMN", 32},   // 15 characters: 30 bytes, + NUL = 32
        {L"ABCDEFGHIJKLMNO", 34},  // 16 characters: 32 bytes, + NUL = 34
    };
    for (const Case& c : cases) {
        CountedString name;
        CountedString digit;
        name.InitFromLiteral(c.Literal);
        digit.InitFromInteger(7);
        name.Append(digit);
        EXPECT_EQ(name.MaximumLength, c.ExpectedMaximum) << Text(name);
        EXPECT_EQ(name.Length + sizeof(WCHAR) <= name.MaximumLength, true);
        EXPECT_TRUE(Terminated(name));
        name.Release();
        digit.Release();
    }
}

TEST_F(CountedStringTest, AssignShorterKeepsBuffer)
{
    CountedString target;
    CountedString source;
    target.InitFromAnsi("a rather long piece of text");
    source.InitFromAnsi("short");
    PWSTR buffer = target.Buffer;
    USHORT maximum = target.MaximumLength;

    CountedString copy = target.Assign(source);
    EXPECT_EQ(Address(target.Buffer), Address(buffer));
    EXPECT_EQ(target.MaximumLength, maximum);
    EXPECT_EQ(Text(target), "short");
    EXPECT_TRUE(Terminated(target));
    EXPECT_EQ(Text(copy), "short");
    EXPECT_NE(Address(copy.Buffer), Address(target.Buffer));
    EXPECT_EQ(copy.Kind, StringKind::Owned);

    copy.Release();
    target.Release();
    source.Release();
}

TEST_F(CountedStringTest, AssignEqualLengthTakesSourceSizedBuffer)
{
    CountedString target;
    CountedString source;
    target.InitFromInteger(12345);     // 10 bytes in a 32-byte buffer
    source.InitFromLiteral(L"abcde");  // 10 bytes in a 12-byte buffer

    CountedString copy = target.Assign(source);
    EXPECT_EQ(target.Kind, StringKind::Owned);
    EXPECT_EQ(target.MaximumLength, source.MaximumLength);
    EXPECT_NE(Address(target.Buffer), Address(source.Buffer));  // a literal is never written to
    EXPECT_EQ(Text(target), "abcde");
    EXPECT_TRUE(Terminated(target));

    copy.Release();
    target.Release();
}

TEST_F(CountedStringTest, AssignIntoBorrowedAllocates)
{
    static const WCHAR literal[] = L"literal text";
    CountedString target;
    CountedString source;
    target.InitFromLiteral(literal);
    source.InitFromLiteral(L"x");  // shorter, but the target owns nothing

    CountedString copy = target.Assign(source);
    EXPECT_EQ(target.Kind, StringKind::Owned);
    EXPECT_NE(Address(target.Buffer), Address(literal));
    EXPECT_EQ(Text(target), "x");
    EXPECT_EQ(Utf8(literal, 12), "literal text");
    copy.Release();
    target.Release();
}

TEST_F(CountedStringTest, AssignToItselfChangesNothingButCopies)
{
    CountedString s;
    s.InitFromAnsi("ModuleSvr");
    PWSTR buffer = s.Buffer;
    USHORT length = s.Length;
    USHORT maximum = s.MaximumLength;

    CountedString copy = s.Assign(s);
    EXPECT_EQ(Address(s.Buffer), Address(buffer));
    EXPECT_EQ(s.Length, length);
    EXPECT_EQ(s.MaximumLength, maximum);
    EXPECT_EQ(Text(s), "ModuleSvr");
    EXPECT_NE(Address(copy.Buffer), Address(s.Buffer));
    EXPECT_EQ(Text(copy), "ModuleSvr");
    copy.Release();
    s.Release();
}

TEST_F(CountedStringTest, ReleaseTwiceLeavesEmpty)
{
    CountedString s;
    s.InitFromInteger(42);
    s.Release();
    EXPECT_EQ(s.Kind, StringKind::Empty);
    EXPECT_EQ(Address(s.Buffer), Address(nullptr));
    s.Release();
    EXPECT_EQ(s.Kind, StringKind::Empty);
    EXPECT_EQ(s.Length, 0);
    EXPECT_EQ(s.MaximumLength, 0);
}

TEST_F(CountedStringTest, AnsiEmptyTextHasMinimumBufferWithNul)
{
    CountedString s;
    s.InitFromAnsi("");
    EXPECT_EQ(s.Kind, StringKind::Owned);
    EXPECT_FALSE(s.IsEmpty());
    EXPECT_EQ(s.Length, 0);
    EXPECT_EQ(s.MaximumLength, 32);
    ASSERT_NE(Address(s.Buffer), Address(nullptr));
    EXPECT_EQ(int(s.Buffer[0]), 0);
    s.Release();
}

TEST_F(CountedStringTest, AnsiLongTextIsSizedByItsLength)
{
    const std::string text(40, 'q');
    CountedString s;
    s.InitFromAnsi(text.c_str());
    EXPECT_EQ(Text(s), text);
    EXPECT_EQ(s.Length, 80);
    EXPECT_GE(s.MaximumLength, 82);
    EXPECT_TRUE(Terminated(s));
    s.Release();
}

TEST_F(CountedStringTest, CopyFromTakesOthersMaximum)
{
    CountedString source;
    source.InitFromLiteral(L"\\Device\\ZelMinVirtCOM");
    CountedString copy;
    copy.CopyFrom(source);
    EXPECT_EQ(copy.Kind, StringKind::Owned);
    EXPECT_EQ(copy.MaximumLength, source.MaximumLength);
    EXPECT_EQ(copy.Length, source.Length);
    EXPECT_NE(Address(copy.Buffer), Address(source.Buffer));
    EXPECT_EQ(Text(copy), "\\Device\\ZelMinVirtCOM");
    EXPECT_TRUE(Terminated(copy));
    copy.Release();
}

TEST_F(CountedStringTest, ConcatLeavesBothOperands)
{
    CountedString left;
    CountedString right;
    left.InitFromLiteral(L"ZelVCOM");
    right.InitFromLiteral(L"\\ModuleInfo");
    CountedString joined = left.Concat(right);
    EXPECT_EQ(Text(joined), "ZelVCOM\\ModuleInfo");
    EXPECT_EQ(joined.MaximumLength, 38);  // 36 text bytes and the NUL
    EXPECT_EQ(Text(left), "ZelVCOM");
    EXPECT_EQ(Text(right), "\\ModuleInfo");
    joined.Release();
}

TEST_F(CountedStringTest, ConcatOfEmptyStringsIsEmptyText)
{
    CountedString left;
    CountedString right;
    left.InitEmpty();
    right.InitEmpty();
    CountedString joined = left.Concat(right);
    EXPECT_EQ(joined.Kind, StringKind::Owned);
    EXPECT_EQ(joined.Length, 0);
    EXPECT_EQ(joined.MaximumLength, 32);
    EXPECT_TRUE(Terminated(joined));
    joined.Release();
}

TEST_F(CountedStringTest, AsUnicodeStringViewsTheFirstThreeMembers)
{
    CountedString s;
    s.InitFromInteger(77);
    UNICODE_STRING view = s.AsUnicodeString();
    EXPECT_EQ(view.Length, s.Length);
    EXPECT_EQ(view.MaximumLength, s.MaximumLength);
    EXPECT_EQ(Address(view.Buffer), Address(s.Buffer));
    s.Release();
}

TEST(ByteSwap16Test, ExchangesTheBytes)
{
    EXPECT_EQ(ByteSwap16(0x1234), 0x3412);
    EXPECT_EQ(ByteSwap16(0x00FF), 0xFF00);
    EXPECT_EQ(ByteSwap16(0xFF00), 0x00FF);
    EXPECT_EQ(ByteSwap16(0), 0);
    EXPECT_EQ(ByteSwap16(ByteSwap16(0xBEEF)), 0xBEEF);
}

}  // namespace
}  // namespace zeltest
