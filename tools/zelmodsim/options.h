// The command line of zelmodsim.
#pragma once

#include "channel.h"
#include "control_port.h"

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zelmodsim {

struct Options {
    in_addr Address{};  // set by ParseOptions; loopback unless --address
    std::uint16_t ControlPort = 0;
    std::vector<ChannelSetup> Channels;
    std::string ReplyText = "OK";
    ReplyMode Reply;
    std::optional<std::string> FrameLog;
    std::optional<std::string> CommandSocket;
    bool Help = false;
};

// Throws zel::ParseError on a bad argument.
Options ParseOptions(int argc, const char* const* argv);

const char* HelpText();

}  // namespace zelmodsim
