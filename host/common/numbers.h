// Decimal numbers in arguments and commands.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace zel {

// The whole of text as a decimal number in [min, max]: digits only, no
// sign, no spaces and no leading zeros (some tools read those as octal);
// nothing otherwise.
std::optional<std::uint64_t> ReadDecimal(std::string_view text, std::uint64_t min,
                                         std::uint64_t max);

// ReadDecimal, or a ParseError that names what the number is.
std::uint64_t ParseDecimal(std::string_view text, std::uint64_t min, std::uint64_t max,
                           std::string_view what);

// A TCP port, 0 meaning "any free one".
std::uint16_t ParsePort(std::string_view text);

}  // namespace zel
