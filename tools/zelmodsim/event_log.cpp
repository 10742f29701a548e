#include "event_log.h"

#include "text_escape.h"

#include <host/common/errors.h>
#include <host/common/unique_fd.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <string>

namespace zelmodsim {
namespace {

constexpr int kWaitForever = -1;

// Writes all of data, waiting for room on a non-blocking descriptor.
// False when the descriptor fails (e.g. a reader that went away).
bool WriteAll(int fd, std::string_view data)
{
    while (!data.empty()) {
        const ssize_t written = write(fd, data.data(), data.size());
        if (written > 0) {
            data.remove_prefix(static_cast<std::size_t>(written));
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd wait{fd, POLLOUT, 0};
            poll(&wait, 1, kWaitForever);
        } else {
            return false;
        }
    }
    return true;
}

constexpr mode_t kLogFileMode = 0644;

}  // namespace

void EventLog::Line(std::string_view text)
{
    std::string line(text);
    line += '\n';
    // A reader that went away must not stop the simulator.
    WriteAll(out_, line);
}

void EventLog::Frame(std::string_view bytes)
{
    const std::string escaped = EscapeForLog(bytes);
    if (frameLog_.Valid()) {
        WriteAll(frameLog_.Get(), escaped + '\n');
    }
    Line("FRAME " + escaped);
}

zel::UniqueFd OpenFrameLog(const std::string& path)
{
    zel::UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kLogFileMode));
    if (!fd.Valid()) {
        throw zel::ErrnoError("cannot open frame log " + path);
    }
    return fd;
}

}  // namespace zelmodsim
