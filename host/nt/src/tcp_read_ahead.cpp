#include "tcp_read_ahead.h"

#include <algorithm>
#include <cstring>

namespace host {

std::vector<iovec> TcpReadAhead::Spare()
{
    if (!wanted_ || !Empty()) {
        return {};
    }
    buffer_.resize(kBytes);
    begin_ = end_ = 0;
    return {iovec{buffer_.data(), buffer_.size()}};
}

void TcpReadAhead::Filled(std::size_t bytes) { end_ = begin_ + bytes; }

std::size_t TcpReadAhead::CopyTo(const std::vector<iovec>& buffers, bool consume)
{
    std::size_t copied = 0;
    for (const iovec& buffer : buffers) {
        const std::size_t piece = std::min(buffer.iov_len, Size() - copied);
        std::memcpy(buffer.iov_base, Data() + copied, piece);
        copied += piece;
    }
    if (consume) {
        Consume(copied);
    }
    return copied;
}

void TcpReadAhead::Consume(std::size_t bytes) { begin_ += std::min(bytes, Size()); }

void TcpReadAhead::Clear()
{
    buffer_ = std::vector<std::uint8_t>();
    begin_ = end_ = 0;
    wanted_ = false;
}

}  // namespace host
