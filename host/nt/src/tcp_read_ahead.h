// Bytes read from a connection's socket beyond what the receive being
// served asked for. Once a receive has been filled to its end, more is
// likely to follow: the next read takes it and up to kBytes more in one
// system call, and the receives after it are served from here first (one
// posted while bytes are here completes at once).
// Reactor thread only, under the endpoint's lock.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace host {

class TcpReadAhead {
public:
    static constexpr std::size_t kBytes = 6 * 1024;

    bool Empty() const { return begin_ == end_; }
    std::size_t Size() const { return end_ - begin_; }
    const std::uint8_t* Data() const { return buffer_.data() + begin_; }

    // A read is to run on into the buffer: after a receive was filled.
    void Want() { wanted_ = true; }
    // Where a read may run on to, when one is wanted and the buffer is
    // empty; nothing otherwise.
    std::vector<iovec> Spare();
    // The read ran this many bytes on.
    void Filled(std::size_t bytes);

    // Copies into the buffers as much as they take, and consumes it unless
    // it was a peek. Returns the bytes copied.
    std::size_t CopyTo(const std::vector<iovec>& buffers, bool consume);
    void Consume(std::size_t bytes);
    // The connection has ended: the bytes and the memory go.
    void Clear();

private:
    std::vector<std::uint8_t> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    bool wanted_ = false;
};

}  // namespace host
