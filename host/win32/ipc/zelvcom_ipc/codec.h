// Encoding and checked decoding of the messages described in protocol.h.
#pragma once

#include "protocol.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zelipc {

std::vector<std::uint8_t> EncodeRequest(const Request& request);
std::vector<std::uint8_t> EncodeReply(const Reply& reply);

// The header of a message, or nothing with the reason in *error when it
// breaks the rules (magic, version, reserved bits, kind, length limit).
std::optional<Header> DecodeHeader(const std::uint8_t* bytes, std::string* error);

// A request (or reply) of the kind the header names; nothing with the
// reason when the payload has the wrong shape or exceeds a limit.
std::optional<Request> DecodeRequest(const Header& header, const std::vector<std::uint8_t>& payload,
                                     std::string* error);
std::optional<Reply> DecodeReply(const Header& header, const std::vector<std::uint8_t>& payload,
                                 std::string* error);

bool IsRequestKind(Kind kind);

// The data of a PortStatus reply; nothing with the reason when malformed.
std::vector<std::uint8_t> EncodePortStatus(const PortStatusPage& page);
std::optional<PortStatusPage> DecodePortStatus(const std::vector<std::uint8_t>& data,
                                               std::string* error);
// The bytes one report takes in a page.
std::size_t EncodedSize(const PortReport& report);

}  // namespace zelipc
