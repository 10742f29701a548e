#include <host/common/event_loop.h>

#include <host/common/errors.h>

#include <sys/epoll.h>

#include <array>

namespace zel {
namespace {

constexpr int kMaxEventsPerWait = 32;

epoll_event MakeEvent(std::uint32_t events, std::uint64_t key)
{
    epoll_event event{};
    event.events = events;
    event.data.u64 = key;
    return event;
}

}  // namespace

EventLoop::Watch::Watch(EventLoop& loop, int fd, std::uint32_t events, Handler handler)
    : loop_(&loop), fd_(fd), key_(loop.Add(fd, events, std::move(handler)))
{
}

EventLoop::Watch::Watch(Watch&& other) noexcept
    : loop_(std::exchange(other.loop_, nullptr)), fd_(other.fd_), key_(other.key_)
{
}

EventLoop::Watch& EventLoop::Watch::operator=(Watch&& other) noexcept
{
    if (this != &other) {
        Unregister();
        loop_ = std::exchange(other.loop_, nullptr);
        fd_ = other.fd_;
        key_ = other.key_;
    }
    return *this;
}

EventLoop::Watch::~Watch()
{
    Unregister();
}

void EventLoop::Watch::SetEvents(std::uint32_t events)
{
    if (loop_ != nullptr) {
        loop_->Modify(fd_, key_, events);
    }
}

void EventLoop::Watch::Unregister() noexcept
{
    if (loop_ != nullptr) {
        loop_->Remove(fd_, key_);
        loop_ = nullptr;
    }
}

EventLoop::EventLoop() : epoll_(epoll_create1(EPOLL_CLOEXEC))
{
    if (!epoll_.Valid()) {
        throw ErrnoError("epoll_create1");
    }
}

void EventLoop::Run()
{
    do {
        RunOnce(kWaitForever);
    } while (running_);
}

void EventLoop::RunOnce(int timeoutMs)
{
    running_ = true;
    std::array<epoll_event, kMaxEventsPerWait> events{};
    const int count = epoll_wait(epoll_.Get(), events.data(), kMaxEventsPerWait, timeoutMs);
    if (count < 0 && errno != EINTR) {
        throw ErrnoError("epoll_wait");
    }
    for (int i = 0; i < count && running_; ++i) {
        Dispatch(events[i].data.u64, events[i].events);
    }
}

// The handler is in place before the descriptor joins the set, as an
// edge-triggered event fetched at once would otherwise be lost.
std::uint64_t EventLoop::Add(int fd, std::uint32_t events, Handler handler)
{
    std::uint64_t key = 0;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        key = nextKey_++;
        handlers_.emplace(key, std::move(handler));
    }
    epoll_event event = MakeEvent(events, key);
    if (epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, fd, &event) != 0) {
        const std::system_error error = ErrnoError("epoll_ctl add");
        const std::lock_guard<std::mutex> lock(mutex_);
        handlers_.erase(key);
        throw error;
    }
    return key;
}

void EventLoop::Modify(int fd, std::uint64_t key, std::uint32_t events)
{
    epoll_event event = MakeEvent(events, key);
    if (epoll_ctl(epoll_.Get(), EPOLL_CTL_MOD, fd, &event) != 0) {
        throw ErrnoError("epoll_ctl modify");
    }
}

void EventLoop::Remove(int fd, std::uint64_t key) noexcept
{
    epoll_ctl(epoll_.Get(), EPOLL_CTL_DEL, fd, nullptr);
    const std::lock_guard<std::mutex> lock(mutex_);
    handlers_.erase(key);
}

void EventLoop::Dispatch(std::uint64_t key, std::uint32_t events)
{
    Handler handler;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        const auto found = handlers_.find(key);
        if (found == handlers_.end()) {
            return;
        }
        // A copy, called unlocked, because a handler may remove its own
        // registration or make others.
        handler = found->second;
    }
    handler(events);
}

}  // namespace zel
