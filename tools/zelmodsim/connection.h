// One accepted stream socket in the event loop. Its owner's handler reads it;
// whatever cannot be written at once waits here until the socket has room.
// It closes either gracefully (FIN once the pending output is out; the owner
// then drains it until the peer closes) or abortively (RST).
#pragma once

#include <host/common/event_loop.h>
#include <host/common/unique_fd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zelmodsim {

class Connection {
public:
    enum class ReadStatus { Data, WouldBlock, End, Failed };
    struct ReadResult {
        ReadStatus Status;
        std::size_t Size;
    };

    Connection(zel::EventLoop& loop, zel::UniqueFd fd, zel::EventLoop::Handler handler);

    ReadResult Read(char* buffer, std::size_t size);
    // Queues bytes and writes what the socket takes; false when it failed.
    bool Write(std::string_view bytes);
    // For EPOLLOUT: writes pending output; false when the socket failed.
    bool Flush();

    void CloseGracefully();
    bool Closing() const { return closing_; }
    // Destroying the connection afterwards sends RST.
    void ResetOnClose();

    // Backpressure: stop reading while the peer does not take our output.
    void PauseReading(bool paused);
    bool ReadingPaused() const { return readingPaused_; }
    std::size_t Pending() const { return pending_.size() - sentOffset_; }

private:
    void ShutdownIfFlushed();
    void UpdateInterest();

    zel::UniqueFd fd_;
    zel::EventLoop::Watch watch_;
    std::string pending_;
    std::size_t sentOffset_ = 0;
    bool closing_ = false;
    bool shutDown_ = false;
    bool readingPaused_ = false;
    std::uint32_t interest_;
};

}  // namespace zelmodsim
