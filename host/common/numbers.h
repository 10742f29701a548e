// Decimal numbers in arguments and commands.
#pragma once

#include <cstdint>
#include <string_view>

namespace zel {

// The whole of text as a decimal number in [min, max]; otherwise throws
// ParseError that names what the number is.
std::uint64_t ParseDecimal(std::string_view text, std::uint64_t min, std::uint64_t max,
                           std::string_view what);

// A TCP port, 0 meaning "any free one".
std::uint16_t ParsePort(std::string_view text);

}  // namespace zel
