// Cuts a byte stream into messages. The header is checked as soon as it is
// complete, so an oversized length is refused before its payload arrives.
#pragma once

#include "protocol.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zelipc {

struct Frame {
    Header Head;
    std::vector<std::uint8_t> Payload;
};

enum class FrameStatus { Ready, NeedMore, Invalid };

class FrameReader {
public:
    void Append(const std::uint8_t* data, std::size_t length);
    // Ready: *frame holds the next message. Invalid: *error says why; the
    // stream cannot be resynchronised after that.
    FrameStatus Next(Frame* frame, std::string* error);
    // Bytes received but not yet returned as a message.
    std::size_t Buffered() const { return buffer_.size() - consumed_; }

private:
    void Compact();

    std::vector<std::uint8_t> buffer_;
    std::size_t consumed_ = 0;
};

}  // namespace zelipc
