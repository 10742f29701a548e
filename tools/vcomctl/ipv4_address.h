// IPv4 addresses as a module record stores them: the first number of the
// dotted form is the lowest-addressed byte of the word.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vcomctl {

// A dotted quad ("192.168.1.10") as ModuleIP; nothing when malformed.
std::optional<std::uint32_t> ParseIpv4(std::string_view Text);
std::string FormatIpv4(std::uint32_t ModuleIP);

}  // namespace vcomctl
