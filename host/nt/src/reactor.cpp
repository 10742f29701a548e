#include "reactor.h"

#include "callback_check.h"
#include "thread_state.h"
#include "verifier.h"
#include "verifier_rules.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

namespace host {
namespace {

// Ids of the reactor's own descriptors; clients get the ids after them.
constexpr Reactor::Id kWakeId = 0;
constexpr Reactor::Id kTimerId = 1;
constexpr Reactor::Id kFirstClientId = 2;

constexpr int kEventsPerWait = 64;
constexpr int kWaitForever = -1;

[[noreturn]] void Fail(const char* call)
{
    verifier::BugCheck(rule::kHostSystemCall, std::string(call) + ": " + std::strerror(errno));
}

zel::UniqueFd Check(int fd, const char* call)
{
    if (fd < 0) {
        Fail(call);
    }
    return zel::UniqueFd(fd);
}

// Empties an eventfd or timerfd counter; both are non-blocking.
void Drain(const zel::UniqueFd& fd)
{
    std::uint64_t count = 0;
    while (::read(fd.Get(), &count, sizeof count) == static_cast<ssize_t>(sizeof count)) {
    }
}

void AddToSet(int epoll, int fd, Reactor::Id id)
{
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = id;
    if (epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event) != 0) {
        Fail("epoll_ctl");
    }
}

// steady_clock counts CLOCK_MONOTONIC on Linux.
timespec MonotonicTime(Reactor::Clock::time_point when)
{
    const auto since = when.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
    const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds);
    timespec time{};
    time.tv_sec = static_cast<time_t>(seconds.count());
    time.tv_nsec = static_cast<long>(nanoseconds.count());
    return time;
}

}  // namespace

Reactor::Reactor()
    : epoll_(Check(epoll_create1(EPOLL_CLOEXEC), "epoll_create1")),
      wake_(Check(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC), "eventfd")),
      timer_(Check(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC), "timerfd_create")),
      nextId_(kFirstClientId)
{
    AddToSet(epoll_.Get(), wake_.Get(), kWakeId);
    AddToSet(epoll_.Get(), timer_.Get(), kTimerId);
    thread_ = std::thread([this] { Run(); });
}

Reactor::~Reactor()
{
    Stop();
}

void Reactor::Stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    Signal();
    if (thread_.joinable()) {
        thread_.join();
    }
}

Reactor::Id Reactor::Add(std::weak_ptr<ReactorClient> client)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const Id id = nextId_++;
    clients_.emplace(id, std::move(client));
    return id;
}

void Reactor::Remove(Id id)
{
    std::lock_guard<std::mutex> lock(mutex_);
    clients_.erase(id);
}

void Reactor::Watch(Id id, int fd, std::uint32_t events)
{
    epoll_event event{};
    event.events = events;
    event.data.u64 = id;
    if (epoll_ctl(epoll_.Get(), EPOLL_CTL_MOD, fd, &event) == 0) {
        return;
    }
    if (errno != ENOENT || epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, fd, &event) != 0) {
        Fail("epoll_ctl");
    }
}

void Reactor::Unwatch(int fd)
{
    if (epoll_ctl(epoll_.Get(), EPOLL_CTL_DEL, fd, nullptr) != 0 && errno != ENOENT) {
        Fail("epoll_ctl");
    }
}

void Reactor::Kick(Id id)
{
    bool first = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        first = kicked_.empty();
        kicked_.push_back(id);
    }
    // One wake-up per batch; the reactor's own kicks need none, as it looks
    // at the queue before it waits again.
    if (first && std::this_thread::get_id() != thread_.get_id()) {
        Signal();
    }
}

void Reactor::WakeAt(Id id, Clock::time_point when)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        deadlines_.emplace(when, id);
    }
    // The thread re-arms its timer for the earliest deadline.
    Signal();
}

void Reactor::Signal()
{
    const std::uint64_t one = 1;
    if (::write(wake_.Get(), &one, sizeof one) != static_cast<ssize_t>(sizeof one) &&
        errno != EAGAIN) {
        Fail("eventfd write");
    }
}

void Reactor::Run()
{
    std::array<epoll_event, kEventsPerWait> ready{};
    for (;;) {
        const int count = epoll_wait(epoll_.Get(), ready.data(), kEventsPerWait, WaitTimeout());
        if (count < 0 && errno != EINTR) {
            Fail("epoll_wait");
        }
        Work work;
        for (int i = 0; i < count; ++i) {
            const Id id = ready[static_cast<std::size_t>(i)].data.u64;
            if (id == kWakeId) {
                Drain(wake_);
            } else if (id == kTimerId) {
                Drain(timer_);
                armedFor_.reset();  // a one-shot timer that fired is disarmed
            } else {
                work[id] |= ready[static_cast<std::size_t>(i)].events;
            }
        }
        if (!TakeQueued(&work)) {
            return;
        }
        for (const auto& [id, events] : work) {
            Serve(id, events);
        }
        ArmTimer();
    }
}

// Kicks made while serving are taken without waiting.
int Reactor::WaitTimeout()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return kicked_.empty() ? kWaitForever : 0;
}

bool Reactor::TakeQueued(Work* work)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) {
        return false;
    }
    for (const Id id : kicked_) {
        (*work)[id] |= 0;
    }
    kicked_.clear();
    const Clock::time_point now = Clock::now();
    while (!deadlines_.empty() && deadlines_.begin()->first <= now) {
        (*work)[deadlines_.begin()->second] |= 0;
        deadlines_.erase(deadlines_.begin());
    }
    return true;
}

void Reactor::Serve(Id id, std::uint32_t events)
{
    std::shared_ptr<ReactorClient> client;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = clients_.find(id);
        if (it != clients_.end()) {
            client = it->second.lock();
        }
    }
    if (client == nullptr) {
        return;
    }
    const thread_state::DriverScope inDriver;
    thread_state::SetIrql(DISPATCH_LEVEL);
    const thread_state::Snapshot before = thread_state::Take();
    client->Service(events);
    verifier::RequireUnchanged(before, "the TCP transport's reactor");
    thread_state::SetIrql(PASSIVE_LEVEL);
}

void Reactor::ArmTimer()
{
    std::optional<Clock::time_point> earliest;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!deadlines_.empty()) {
            earliest = deadlines_.begin()->first;
        }
    }
    // Only the reactor's thread arms the timer: unchanged, it is left alone.
    if (earliest == armedFor_) {
        return;
    }
    armedFor_ = earliest;
    itimerspec setting{};
    if (!earliest) {
        timerfd_settime(timer_.Get(), 0, &setting, nullptr);  // a zero it_value disarms
        return;
    }
    // A time already past fires at once.
    setting.it_value = MonotonicTime(*earliest);
    if (timerfd_settime(timer_.Get(), TFD_TIMER_ABSTIME, &setting, nullptr) != 0) {
        Fail("timerfd_settime");
    }
}

}  // namespace host
