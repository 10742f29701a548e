// CountedString: text, ownership and termination. The host pool stops the
// process on a double free or on freeing a literal, so "frees only once" is
// checked by surviving the second Release.
#include "driver_fixture.h"

#include "core/counted_string.h"

#include <cstring>
#include <new>
#include <utility>
#include <vector>

namespace zeltest {
namespace {

using CountedStringTest = DriverTest;

std::string Text(const CountedString& s)
{
    return Utf8(s.AsUnicodeString());
}

// Buffers are compared as addresses: gtest would print a WCHAR pointer as a
// wide string of the wrong width.
const void* Address(const WCHAR* p)
{
    return p;
}

// The NUL an Owned string keeps after its text.
bool Terminated(const CountedString& s)
{
    return s.Buffer != nullptr && s.Buffer[s.Length / sizeof(WCHAR)] == L'\0';
}

bool IsReleased(const CountedString& s)
{
    return s.Kind == StringKind::Empty && s.Buffer == nullptr && s.Length == 0 &&
           s.MaximumLength == 0;
}

TEST_F(CountedStringTest, IntegersAreDecimalWithoutLeadingZerosOrSign)
{
    for (const auto& [value, text] : std::vector<std::pair<ULONG, std::string>>{
             {0, "0"}, {1000, "1000"}, {0x80000000, "2147483648"}, {0xFFFFFFFF, "4294967295"}}) {
        CountedString s;
        s.InitFromInteger(value);
        EXPECT_EQ(s.Kind, StringKind::Owned);
        EXPECT_EQ(Text(s), text);
        EXPECT_TRUE(Terminated(s));
        s.Release();
    }
}

// A name built from a literal and a number owns its text and leaves the
// literal as it was.
TEST_F(CountedStringTest, AppendAndConcatBuildOwnedTextAndLeaveTheirOperands)
{
    static const WCHAR literal[] = L"\\DosDevices\\COM";
    CountedString name;
    CountedString digits;
    name.InitFromLiteral(literal);
    digits.InitFromInteger(5);
    CountedString joined = name.Concat(digits);
    name.Append(digits);
    for (const CountedString* s : {&name, &joined}) {
        EXPECT_EQ(s->Kind, StringKind::Owned);
        EXPECT_EQ(Text(*s), "\\DosDevices\\COM5");
        EXPECT_TRUE(Terminated(*s));
    }
    EXPECT_NE(Address(name.Buffer), Address(literal));
    EXPECT_EQ(Utf8(literal, 15), "\\DosDevices\\COM");
    EXPECT_EQ(Text(digits), "5");
    name.Release();
    joined.Release();
    digits.Release();
}

TEST_F(CountedStringTest, AssignCopiesIntoOwnedStorageAndReturnsASeparateCopy)
{
    static const WCHAR literal[] = L"literal text";
    CountedString target;
    CountedString source;
    target.InitFromLiteral(literal);
    source.InitFromAnsi("a rather long piece of text");
    CountedString copy = target.Assign(source);
    EXPECT_EQ(target.Kind, StringKind::Owned);
    EXPECT_EQ(Text(target), "a rather long piece of text");
    EXPECT_EQ(Utf8(literal, 12), "literal text") << "a literal is never written to";
    EXPECT_NE(Address(copy.Buffer), Address(target.Buffer));
    EXPECT_EQ(Text(copy), Text(target));
    copy.Release();

    // Shorter text reuses the buffer; assigning a string to itself keeps it.
    CountedString shorter;
    shorter.InitFromAnsi("short");
    PWSTR buffer = target.Buffer;
    copy = target.Assign(shorter);
    EXPECT_EQ(Address(target.Buffer), Address(buffer));
    EXPECT_EQ(Text(target), "short");
    EXPECT_TRUE(Terminated(target));
    copy.Release();
    copy = target.Assign(target);
    EXPECT_EQ(Text(target), "short");
    EXPECT_EQ(Text(copy), "short");
    copy.Release();
    shorter.Release();
    source.Release();
    target.Release();
}

// Empty text is still a name (Owned, terminated); only a string that could
// not be built is Empty.
TEST_F(CountedStringTest, EmptyTextIsOwnedAndAJoinTooLongIsEmpty)
{
    CountedString empty;
    empty.InitFromLiteral(L"");
    CountedString fromAnsi;
    fromAnsi.InitFromAnsi("");
    for (const CountedString* source : {&empty, &fromAnsi}) {
        CountedString copy;
        copy.CopyFrom(*source);
        EXPECT_EQ(copy.Kind, StringKind::Owned);
        EXPECT_EQ(copy.Length, 0u);
        EXPECT_TRUE(Terminated(copy));
        copy.Release();
    }

    CountedString source;
    source.InitFromAnsi("\\Device\\ZelMinVirtCOM");
    CountedString copy;
    copy.CopyFrom(source);
    EXPECT_NE(Address(copy.Buffer), Address(source.Buffer));
    EXPECT_EQ(Text(copy), "\\Device\\ZelMinVirtCOM");
    copy.Release();
    source.Release();

    // Two halves of more text than a counted string holds. The result lands
    // on storage full of garbage, as a fresh local would be.
    const std::string half(20000, 'h');
    CountedString left;
    CountedString right;
    left.InitFromAnsi(half.c_str());
    right.InitFromAnsi(half.c_str());
    alignas(CountedString) unsigned char storage[sizeof(CountedString)];
    std::memset(storage, 0xA5, sizeof(storage));
    auto* joined = new (storage) CountedString(left.Concat(right));
    EXPECT_TRUE(IsReleased(*joined));
    left.Release();
    right.Release();
    fromAnsi.Release();
}

}  // namespace
}  // namespace zeltest
