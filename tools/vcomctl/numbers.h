// Strict decimal numbers from the command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vcomctl {

// Decimal digits only (no sign, no spaces, no leading zeros), within
// [Least, Most]; nothing otherwise.
std::optional<std::uint32_t> ParseDecimal(std::string_view Text, std::uint32_t Least, std::uint32_t Most);

}  // namespace vcomctl
