// One channel of `vcomctl add`: TCPPORT:COM[:withhold].
#pragma once

#include <cstdint>
#include <string_view>

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

// Throws UsageError naming what is wrong. COM may be written "3" or "COM3".
ChannelArgument ParseChannelArgument(std::string_view Text);

}  // namespace vcomctl
