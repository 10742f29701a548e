#include "ipv4_address.h"

#include "numbers.h"

#include <array>
#include <cstring>

namespace vcomctl {
namespace {

constexpr std::size_t OCTETS = 4;
constexpr std::uint32_t OCTET_MAX = 255;
constexpr char SEPARATOR = '.';

using Octets = std::array<std::uint8_t, OCTETS>;

}  // namespace

std::optional<std::uint32_t> ParseIpv4(std::string_view Text)
{
    Octets octets{};
    for (std::size_t i = 0; i < OCTETS; ++i) {
        const bool last = i + 1 == OCTETS;
        const std::size_t end = last ? Text.size() : Text.find(SEPARATOR);
        if (end == std::string_view::npos) {
            return std::nullopt;
        }
        const auto octet = ParseDecimal(Text.substr(0, end), 0, OCTET_MAX);
        if (!octet) {
            return std::nullopt;
        }
        octets[i] = static_cast<std::uint8_t>(*octet);
        Text.remove_prefix(last ? end : end + 1);
    }
    // Byte order in memory is the dotted order, whatever the host's order.
    std::uint32_t word = 0;
    std::memcpy(&word, octets.data(), sizeof word);
    return word;
}

std::string FormatIpv4(std::uint32_t ModuleIP)
{
    Octets octets{};
    std::memcpy(octets.data(), &ModuleIP, sizeof ModuleIP);
    std::string text;
    for (std::size_t i = 0; i < OCTETS; ++i) {
        if (i != 0) {
            text += SEPARATOR;
        }
        text += std::to_string(octets[i]);
    }
    return text;
}

}  // namespace vcomctl
