#include "text_escape.h"

#include <host/common/errors.h>

namespace zelmodsim {
namespace {

constexpr char kEscape = '\\';
constexpr char kFirstPrintable = ' ';
constexpr char kLastPrintable = '~';
constexpr std::size_t kHexDigitsPerByte = 2;
constexpr int kHexBase = 16;
constexpr int kLetterDigitBase = 10;  // value of hex digit a
constexpr int kNibbleBits = 4;
constexpr unsigned kNibbleMask = 0xF;
constexpr char kHexDigits[] = "0123456789abcdef";

int HexValue(char digit)
{
    if (digit >= '0' && digit <= '9')
        return digit - '0';
    if (digit >= 'a' && digit <= 'f')
        return digit - 'a' + kLetterDigitBase;
    if (digit >= 'A' && digit <= 'F')
        return digit - 'A' + kLetterDigitBase;
    return -1;
}

char DecodeHexByte(std::string_view digits)
{
    if (digits.size() < kHexDigitsPerByte) {
        throw zel::ParseError("\\x needs two hex digits");
    }
    const int high = HexValue(digits[0]);
    const int low = HexValue(digits[1]);
    if (high < 0 || low < 0) {
        throw zel::ParseError("\\x needs two hex digits");
    }
    return static_cast<char>(high * kHexBase + low);
}

char DecodeSimpleEscape(char letter)
{
    switch (letter) {
    case '\\':
        return '\\';
    case 'n':
        return '\n';
    case 'r':
        return '\r';
    case 't':
        return '\t';
    case '0':
        return '\0';
    default:
        throw zel::ParseError(std::string("unknown escape \\") + letter);
    }
}

}  // namespace

std::string DecodeEscapes(std::string_view text)
{
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != kEscape) {
            bytes += text[i];
            continue;
        }
        if (++i == text.size()) {
            throw zel::ParseError("text ends in a lone backslash");
        }
        if (text[i] == 'x') {
            bytes += DecodeHexByte(text.substr(i + 1));
            i += kHexDigitsPerByte;
        } else {
            bytes += DecodeSimpleEscape(text[i]);
        }
    }
    return bytes;
}

std::string EscapeForLog(std::string_view bytes)
{
    std::string text;
    text.reserve(bytes.size());
    for (const char byte : bytes) {
        if (byte == kEscape) {
            text += "\\\\";
        } else if (byte >= kFirstPrintable && byte <= kLastPrintable) {
            text += byte;
        } else {
            const auto value = static_cast<unsigned char>(byte);
            text += "\\x";
            text += kHexDigits[value >> kNibbleBits];
            text += kHexDigits[value & kNibbleMask];
        }
    }
    return text;
}

}  // namespace zelmodsim
