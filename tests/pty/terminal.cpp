#include "terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace zeltest {
namespace {

[[noreturn]] void Fail(const std::string& what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

Terminal::Terminal(const std::filesystem::path& path)
    : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
{
    if (!fd_.Valid()) {
        Fail("open " + path.string());
    }
}

void Terminal::MakeRaw(speed_t speed)
{
    termios settings{};
    if (tcgetattr(Fd(), &settings) != 0) {
        Fail("tcgetattr");
    }
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    if (cfsetspeed(&settings, speed) != 0 || tcsetattr(Fd(), TCSANOW, &settings) != 0) {
        Fail("tcsetattr");
    }
}

int Terminal::Write(std::string_view bytes, const zel::test::Deadline& deadline)
{
    while (!bytes.empty()) {
        pollfd wait{Fd(), POLLOUT, 0};
        const int ready = poll(&wait, 1, deadline.PollMs());
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (ready == 0) {
            return ETIMEDOUT;
        }
        // A hung-up terminal reports POLLHUP; the write tells how it fails.
        const ssize_t written = write(Fd(), bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                continue;
            }
            return errno;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return 0;
}

zel::test::Received Terminal::Read(std::size_t count, const zel::test::Deadline& deadline)
{
    return zel::test::ReceiveBytes(Fd(), count, deadline);
}

bool Terminal::Readable(const zel::test::Deadline& deadline) const
{
    pollfd wait{Fd(), POLLIN, 0};
    for (;;) {
        const int ready = poll(&wait, 1, deadline.PollMs());
        if (ready >= 0 || errno != EINTR) {
            return ready > 0;
        }
    }
}

bool Terminal::HungUp(const zel::test::Deadline& deadline)
{
    const zel::test::Received end = zel::test::ReceiveToEnd(Fd(), deadline);
    return end.End == zel::test::StreamEnd::Eof ||
           (end.End == zel::test::StreamEnd::Error && end.Error == EIO);
}

}  // namespace zeltest
