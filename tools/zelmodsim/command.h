// The commands taken on standard input and the command socket.
#pragma once

#include "reply_mode.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>

namespace zelmodsim {
namespace command {

// Report fields are digits sent as they are, so tests can also send
// channels the driver must ignore.
struct Cts { char Channel; char Level; };
struct Status { char Channel; char Level; std::size_t Count; };
struct SendControl { std::string Bytes; };
struct Send { int Channel; std::string Bytes; };
struct Close { int Channel; };
struct Reset { int Channel; };
struct CloseControl {};
struct ResetControl {};
struct Accept { int Channel; };
struct Hold { int Channel; };
struct Reply { ReplyMode Mode; };
struct Stats {};
struct Quit {};

}  // namespace command

using Command = std::variant<command::Cts, command::Status, command::SendControl, command::Send,
                             command::Close, command::Reset, command::CloseControl, command::ResetControl,
                             command::Accept, command::Hold, command::Reply, command::Stats, command::Quit>;

// Throws zel::ParseError. Channel numbers are checked against 1..8 only; whether
// the channel exists is the executor's business.
Command ParseCommand(std::string_view line);

}  // namespace zelmodsim
