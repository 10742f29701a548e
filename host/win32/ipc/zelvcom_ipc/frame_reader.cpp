#include "frame_reader.h"

#include "codec.h"

namespace zelipc {

void FrameReader::Append(const std::uint8_t* data, std::size_t length)
{
    Compact();
    buffer_.insert(buffer_.end(), data, data + length);
}

FrameStatus FrameReader::Next(Frame* frame, std::string* error)
{
    if (Buffered() < kHeaderSize) {
        return FrameStatus::NeedMore;
    }
    const std::uint8_t* start = buffer_.data() + consumed_;
    auto header = DecodeHeader(start, error);
    if (!header) {
        return FrameStatus::Invalid;
    }
    if (Buffered() < kHeaderSize + header->Length) {
        return FrameStatus::NeedMore;
    }
    frame->Head = *header;
    frame->Payload.assign(start + kHeaderSize, start + kHeaderSize + header->Length);
    consumed_ += kHeaderSize + header->Length;
    return FrameStatus::Ready;
}

// Drops consumed bytes, so the buffer never holds more than one partial
// message plus what the last read brought.
void FrameReader::Compact()
{
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(consumed_));
    consumed_ = 0;
}

}  // namespace zelipc
