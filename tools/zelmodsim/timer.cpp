#include "timer.h"

#include <host/common/errors.h>

#include <sys/epoll.h>
#include <sys/timerfd.h>

#include <cstdint>

namespace zelmodsim {
namespace {

constexpr std::chrono::nanoseconds kSoonest{1};  // an all-zero time would disarm

itimerspec OneShot(std::chrono::nanoseconds delay)
{
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(delay);
    itimerspec setting{};
    setting.it_value.tv_sec = static_cast<time_t>(seconds.count());
    setting.it_value.tv_nsec = static_cast<long>((delay - seconds).count());
    return setting;
}

}  // namespace

Timer::Timer(zel::EventLoop& loop, std::function<void()> onExpiry)
    : fd_(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)),
      onExpiry_(std::move(onExpiry))
{
    if (!fd_.Valid()) {
        throw zel::ErrnoError("timerfd_create");
    }
    watch_ = zel::EventLoop::Watch(loop, fd_.Get(), EPOLLIN, [this](std::uint32_t) { OnReadable(); });
}

void Timer::ArmAfter(std::chrono::nanoseconds delay)
{
    const itimerspec setting = OneShot(delay < kSoonest ? kSoonest : delay);
    if (timerfd_settime(fd_.Get(), 0, &setting, nullptr) != 0) {
        throw zel::ErrnoError("timerfd_settime");
    }
}

void Timer::Disarm()
{
    const itimerspec off{};
    timerfd_settime(fd_.Get(), 0, &off, nullptr);
}

void Timer::OnReadable()
{
    std::uint64_t expirations = 0;
    if (read(fd_.Get(), &expirations, sizeof expirations) != sizeof expirations) {
        return;  // disarmed or re-armed since it fired
    }
    onExpiry_();
}

}  // namespace zelmodsim
