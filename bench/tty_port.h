// A terminal opened for measuring: raw mode at 115200 baud, non-blocking,
// every wait bounded so that a stalled peer fails the run instead of
// hanging it.
#pragma once

#include <host/common/unique_fd.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace zelbench {

// No progress for this long means the path is broken. Generous: the first
// bytes on a port may wait for its connection to the module.
constexpr std::chrono::milliseconds kIdleTimeout{10'000};

// No descriptor to watch for a stop request.
constexpr int kNoStop = -1;

class TtyPort {
public:
    // Opens path read-write without making it the controlling terminal and
    // sets raw mode at 115200 baud; throws naming the path.
    explicit TtyPort(std::string path);

    const std::string& Path() const { return path_; }
    int Fd() const { return fd_.Get(); }

    // Some bytes (at most size) once any are there. Throws when none arrive
    // within kIdleTimeout, and Stopped when stopFd becomes readable.
    std::size_t ReadSome(char* data, std::size_t size, int stopFd = kNoStop) const;

    // All of data, waiting for room as needed. Throws when no room appears
    // within kIdleTimeout, and Stopped when stopFd becomes readable.
    void WriteAll(std::string_view data, int stopFd = kNoStop) const;

private:
    // Waits for events on the terminal; throws on timeout, stop or error.
    void Wait(short events, int stopFd, const char* what) const;

    std::string path_;
    zel::UniqueFd fd_;
};

}  // namespace zelbench
