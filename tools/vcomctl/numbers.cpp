#include "numbers.h"

namespace vcomctl {
namespace {

constexpr std::uint64_t DECIMAL_BASE = 10;

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

}  // namespace

std::optional<std::uint32_t> ParseDecimal(std::string_view Text, std::uint32_t Least, std::uint32_t Most)
{
    // A leading zero would read as octal to some tools; refuse the ambiguity.
    const bool leadingZero = Text.size() > 1 && Text.front() == '0';
    if (Text.empty() || leadingZero) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char c : Text) {
        if (!IsDigit(c)) {
            return std::nullopt;
        }
        value = value * DECIMAL_BASE + static_cast<std::uint64_t>(c - '0');
        if (value > Most) {
            return std::nullopt;
        }
    }
    if (value < Least) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

}  // namespace vcomctl
