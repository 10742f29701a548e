#include "epoll.h"

#include <cerrno>
#include <system_error>

namespace zelvcomd {
namespace {

constexpr int kEventsPerWait = 64;
constexpr int kWaitForever = -1;

void Check(int result, const char* what)
{
    if (result != 0) {
        throw std::system_error(errno, std::generic_category(), what);
    }
}

}  // namespace

Epoll::Epoll() : fd_(epoll_create1(EPOLL_CLOEXEC))
{
    Check(fd_.Valid() ? 0 : -1, "epoll_create1");
}

void Epoll::Add(int fd, std::uint32_t events)
{
    epoll_event event{};
    event.events = events;
    event.data.fd = fd;
    Check(epoll_ctl(fd_.Get(), EPOLL_CTL_ADD, fd, &event), "epoll_ctl add");
}

void Epoll::Modify(int fd, std::uint32_t events)
{
    epoll_event event{};
    event.events = events;
    event.data.fd = fd;
    Check(epoll_ctl(fd_.Get(), EPOLL_CTL_MOD, fd, &event), "epoll_ctl modify");
}

void Epoll::Remove(int fd) { epoll_ctl(fd_.Get(), EPOLL_CTL_DEL, fd, nullptr); }

std::vector<epoll_event> Epoll::Wait()
{
    std::vector<epoll_event> events(kEventsPerWait);
    int ready = 0;
    do {
        ready = epoll_wait(fd_.Get(), events.data(), kEventsPerWait, kWaitForever);
    } while (ready < 0 && errno == EINTR);
    Check(ready < 0 ? -1 : 0, "epoll_wait");
    events.resize(static_cast<std::size_t>(ready));
    return events;
}

}  // namespace zelvcomd
