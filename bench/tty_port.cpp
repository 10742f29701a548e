#include "tty_port.h"

#include "bench_error.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <array>

namespace zelbench {
namespace {

constexpr speed_t kBaudRate = B115200;

void SetRaw(int fd, const std::string& path)
{
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        throw ErrnoError(path + " is not a terminal");
    }
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&settings, kBaudRate);
    cfsetospeed(&settings, kBaudRate);
    // TCSANOW, not TCSAFLUSH: bytes already waiting (a source sends at
    // connect) belong to the measurement.
    if (tcsetattr(fd, TCSANOW, &settings) != 0) {
        throw ErrnoError("cannot set raw mode on " + path);
    }
}

}  // namespace

TtyPort::TtyPort(std::string path)
    : path_(std::move(path)), fd_(open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
{
    if (!fd_.Valid()) {
        throw ErrnoError("cannot open " + path_);
    }
    SetRaw(fd_.Get(), path_);
}

std::size_t TtyPort::ReadSome(char* data, std::size_t size, int stopFd) const
{
    for (;;) {
        const ssize_t got = read(fd_.Get(), data, size);
        if (got > 0) {
            return static_cast<std::size_t>(got);
        }
        if (got == 0) {
            throw std::runtime_error(path_ + ": end of file (the other side closed)");
        }
        if (errno != EAGAIN && errno != EINTR) {
            throw ErrnoError("cannot read " + path_);
        }
        Wait(POLLIN, stopFd, "no bytes arrived");
    }
}

void TtyPort::WriteAll(std::string_view data, int stopFd) const
{
    while (!data.empty()) {
        const ssize_t written = write(fd_.Get(), data.data(), data.size());
        if (written > 0) {
            data.remove_prefix(static_cast<std::size_t>(written));
        } else if (written < 0 && errno != EAGAIN && errno != EINTR) {
            throw ErrnoError("cannot write " + path_);
        } else {
            Wait(POLLOUT, stopFd, "no room to write");
        }
    }
}

void TtyPort::Wait(short events, int stopFd, const char* what) const
{
    std::array<pollfd, 2> watched{{{fd_.Get(), events, 0}, {stopFd, POLLIN, 0}}};
    const nfds_t count = stopFd == kNoStop ? 1 : 2;
    const int ready = poll(watched.data(), count, static_cast<int>(kIdleTimeout.count()));
    if (ready < 0 && errno != EINTR) {
        throw ErrnoError("poll on " + path_);
    }
    if (ready == 0) {
        throw std::runtime_error(path_ + ": " + what + " for " +
                                 std::to_string(kIdleTimeout.count()) + " ms");
    }
    if (count == 2 && (watched[1].revents & POLLIN) != 0) {
        throw Stopped(path_ + ": stopped, the other direction failed");
    }
}

}  // namespace zelbench
