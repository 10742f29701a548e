#include "wake_queue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace zelvcomd {

WakeQueue::WakeQueue() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
    if (!fd_.Valid()) {
        throw std::system_error(errno, std::generic_category(), "eventfd");
    }
}

void WakeQueue::Push(std::shared_ptr<ClientSession> session)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sessions_.push_back(std::move(session));
    }
    const std::uint64_t one = 1;
    // A full counter still wakes the loop, so a failed write loses nothing.
    [[maybe_unused]] const ssize_t ignored = write(fd_.Get(), &one, sizeof one);
}

std::vector<std::shared_ptr<ClientSession>> WakeQueue::Take()
{
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t ignored = read(fd_.Get(), &count, sizeof count);
    std::vector<std::shared_ptr<ClientSession>> sessions;
    std::lock_guard<std::mutex> lock(mutex_);
    sessions.swap(sessions_);
    return sessions;
}

}  // namespace zelvcomd
