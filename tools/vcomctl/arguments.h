// The arguments of `vcomctl add` checked and turned into a module record:
// ADDRESS CONTROL_PORT NAME CHANNEL..., each CHANNEL TCPPORT:COM[:withhold].
#pragma once

#include <zelvcom/module_record.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vcomctl {

struct ChannelArgument {
    std::uint32_t TcpPort;    // the channel's data port on the module
    std::uint32_t ComNumber;  // n of COM<n>; 0 = the channel gets no port
    bool Withhold;            // line settings stay local (SerialParaFlag 1)
};

constexpr std::uint32_t TCP_PORT_MIN = 1;
constexpr std::uint32_t TCP_PORT_MAX = 65535;
constexpr std::uint32_t COM_NUMBER_NONE = 0;
// Windows numbers serial ports up to COM4096; a full table (256 modules of 8
// channels) needs 2048 of them.
constexpr std::uint32_t COM_NUMBER_MAX = 4096;

// Throws UsageError naming the first thing wrong. Entries past the channels
// are zero.
ModuleRecord ParseModuleArgument(const std::vector<std::string>& Args);
// Throws UsageError naming what is wrong. COM may be written "3" or "COM3".
ChannelArgument ParseChannelArgument(std::string_view Text);

// IPv4 addresses as a module record stores them: the first number of the
// dotted form is the lowest-addressed byte of the word.
// A dotted quad ("192.168.1.10") as ModuleIP; nothing when malformed.
std::optional<std::uint32_t> ParseIpv4(std::string_view Text);
std::string FormatIpv4(std::uint32_t ModuleIP);

}  // namespace vcomctl
