#include <host/common/numbers.h>

#include <host/common/errors.h>

#include <charconv>
#include <limits>
#include <string>

namespace zel {

std::optional<std::uint64_t> ReadDecimal(std::string_view text, std::uint64_t min,
                                         std::uint64_t max)
{
    const bool leadingZero = text.size() > 1 && text.front() == '0';
    std::uint64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || leadingZero || error != std::errc() || stop != end || value < min ||
        value > max) {
        return std::nullopt;
    }
    return value;
}

std::uint64_t ParseDecimal(std::string_view text, std::uint64_t min, std::uint64_t max,
                           std::string_view what)
{
    const std::optional<std::uint64_t> value = ReadDecimal(text, min, max);
    if (!value) {
        throw ParseError(std::string(what) + " must be a number from " + std::to_string(min) +
                         " to " + std::to_string(max) + ", not '" + std::string(text) + "'");
    }
    return *value;
}

std::uint16_t ParsePort(std::string_view text)
{
    return static_cast<std::uint16_t>(
        ParseDecimal(text, 0, std::numeric_limits<std::uint16_t>::max(), "port"));
}

}  // namespace zel
