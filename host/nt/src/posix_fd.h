// Ownership of one POSIX file descriptor: a socket, the epoll set, an
// eventfd or a timerfd. Closed when the owner goes.
#pragma once

#include <unistd.h>

#include <utility>

namespace host {

class PosixFd {
public:
    PosixFd() = default;
    explicit PosixFd(int fd) noexcept : fd_(fd) {}
    PosixFd(PosixFd&& other) noexcept : fd_(other.Release()) {}
    PosixFd& operator=(PosixFd&& other) noexcept
    {
        if (this != &other) {
            Reset(other.Release());
        }
        return *this;
    }
    PosixFd(const PosixFd&) = delete;
    PosixFd& operator=(const PosixFd&) = delete;
    ~PosixFd() { Reset(); }

    int Get() const noexcept { return fd_; }
    bool Valid() const noexcept { return fd_ >= 0; }
    int Release() noexcept { return std::exchange(fd_, kNone); }
    void Reset(int fd = kNone) noexcept
    {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

private:
    static constexpr int kNone = -1;
    int fd_ = kNone;
};

}  // namespace host
