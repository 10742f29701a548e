#include "file_watch.h"

#include "bench_error.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <array>

namespace zelbench {
namespace {

// Room for many events per read; their contents do not matter.
constexpr std::size_t kEventBuffer = 4096;

}  // namespace

FileWatch::FileWatch(const std::string& path) : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
{
    if (!fd_.Valid()) {
        throw ErrnoError("inotify_init1");
    }
    if (inotify_add_watch(fd_.Get(), path.c_str(), IN_MODIFY) < 0) {
        throw ErrnoError("cannot watch " + path);
    }
}

void FileWatch::Forget() const
{
    alignas(inotify_event) std::array<char, kEventBuffer> events{};
    while (read(fd_.Get(), events.data(), events.size()) > 0) {
    }
}

bool FileWatch::Wait(std::chrono::milliseconds timeout) const
{
    pollfd wait{fd_.Get(), POLLIN, 0};
    const int ready = poll(&wait, 1, static_cast<int>(timeout.count()));
    if (ready < 0 && errno != EINTR) {
        throw ErrnoError("poll on a file watch");
    }
    return ready != 0;
}

}  // namespace zelbench
