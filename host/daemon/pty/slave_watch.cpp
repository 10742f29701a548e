#include "slave_watch.h"

#include <host/common/errors.h>

#include <sys/inotify.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace zelvcomd {
namespace {

constexpr std::size_t kEventBufferSize = 64 * 1024;

}  // namespace

SlaveWatch::SlaveWatch() : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
{
    if (!fd_.Valid()) {
        throw zel::ErrnoError("inotify_init1");
    }
}

int SlaveWatch::Add(const std::string& slavePath)
{
    const int watch = inotify_add_watch(fd_.Get(), slavePath.c_str(), IN_OPEN);
    if (watch < 0) {
        throw zel::ErrnoError("cannot watch " + slavePath);
    }
    return watch;
}

void SlaveWatch::Remove(int watch)
{
    inotify_rm_watch(fd_.Get(), watch);
}

SlaveWatch::Opens SlaveWatch::Take()
{
    Opens opens;
    alignas(inotify_event) std::array<char, kEventBufferSize> buffer;
    for (;;) {
        const ssize_t length = read(fd_.Get(), buffer.data(), buffer.size());
        if (length <= 0) {
            return opens;  // EAGAIN: all taken
        }
        for (ssize_t offset = 0; offset < length;) {
            inotify_event event;
            std::memcpy(&event, buffer.data() + offset, sizeof event);
            if ((event.mask & IN_Q_OVERFLOW) != 0) {
                opens.Overflowed = true;
            } else if ((event.mask & IN_OPEN) != 0) {
                opens.Watches.push_back(event.wd);
            }
            offset += static_cast<ssize_t>(sizeof event + event.len);
        }
    }
}

}  // namespace zelvcomd
