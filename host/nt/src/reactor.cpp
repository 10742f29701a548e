#include "reactor.h"

#include "callback_check.h"
#include "thread_state.h"
#include "verifier.h"
#include "verifier_rules.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

namespace host {
namespace {

[[noreturn]] void Fail(const char* call)
{
    verifier::BugCheck(rule::kHostSystemCall, std::string(call) + ": " + std::strerror(errno));
}

// The event loop throws when a system call fails; the transport cannot go
// on without its thread, so that stops the machine.
template <typename Call>
decltype(auto) OrBugCheck(Call&& call)
{
    try {
        return call();
    } catch (const std::system_error& error) {
        verifier::BugCheck(rule::kHostSystemCall, error.what());
    }
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
    : loop_(OrBugCheck([] { return zel::EventLoop(); })),
      wake_(Check(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC), "eventfd")),
      timer_(Check(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC), "timerfd_create"))
{
    OrBugCheck([this] {
        wakeWatch_ = zel::EventLoop::Watch(loop_, wake_.Get(), EPOLLIN,
                                           [this](std::uint32_t) { Drain(wake_); });
        timerWatch_ = zel::EventLoop::Watch(loop_, timer_.Get(), EPOLLIN, [this](std::uint32_t) {
            Drain(timer_);
            armedFor_.reset();  // a one-shot timer that fired is disarmed
        });
    });
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

// Called from the dispatch side and from clients on the reactor thread.
void Reactor::Watch(Id id, int fd, std::uint32_t events)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = watches_.find(fd);
    if (found != watches_.end() && found->second.Client == id) {
        OrBugCheck([&] { found->second.Registration.SetEvents(events); });
        return;
    }
    watches_.erase(fd);
    const auto collect = [this, id](std::uint32_t happened) { ready_[id] |= happened; };
    watches_.emplace(fd, SocketWatch{id, OrBugCheck([&] {
                                         return zel::EventLoop::Watch(loop_, fd, events, collect);
                                     })});
}

void Reactor::Unwatch(int fd)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    watches_.erase(fd);
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

// Each round serves every client with something for it once, with the
// socket events the round fetched for it merged.
void Reactor::Run()
{
    for (;;) {
        OrBugCheck([this] { loop_.RunOnce(WaitTimeout()); });
        Work work = std::exchange(ready_, {});
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
    return kicked_.empty() ? zel::EventLoop::kWaitForever : 0;
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
