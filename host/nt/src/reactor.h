// The transport's one event thread: an event loop over the sockets of every
// connection, an eventfd to wake it, and a timerfd for deadlines. Clients
// are called on this thread at DISPATCH_LEVEL, where a transport runs its
// receive completions and event handlers on Windows. Events are only hints:
// a client re-checks its sockets whenever it is called.
#pragma once

#include <host/common/non_copyable.h>
#include <host/common/event_loop.h>
#include <host/common/unique_fd.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

namespace host {

class ReactorClient {
public:
    virtual ~ReactorClient() = default;
    // `events` are the epoll events of the client's socket, or 0 when the
    // client was kicked or one of its deadlines came.
    virtual void Service(std::uint32_t events) = 0;
};

class Reactor : zel::NonCopyable {
public:
    using Clock = std::chrono::steady_clock;
    using Id = std::uint64_t;

    Reactor();
    ~Reactor();

    // Ends the thread; a client being served finishes first.
    void Stop();

    Id Add(std::weak_ptr<ReactorClient> client);
    void Remove(Id id);

    // Reports `events` of fd to the client (0 still reports errors).
    void Watch(Id id, int fd, std::uint32_t events);
    void Unwatch(int fd);
    // Serves the client soon, on the reactor thread.
    void Kick(Id id);
    // Serves the client once `when` has come.
    void WakeAt(Id id, Clock::time_point when);

private:
    using Work = std::map<Id, std::uint32_t>;

    struct SocketWatch {
        Id Client;
        zel::EventLoop::Watch Registration;
    };

    void Run();
    void Signal();
    int WaitTimeout();
    bool TakeQueued(Work* work);
    void Serve(Id id, std::uint32_t events);
    void ArmTimer();

    zel::EventLoop loop_;
    zel::UniqueFd wake_;
    zel::UniqueFd timer_;
    zel::EventLoop::Watch wakeWatch_;
    zel::EventLoop::Watch timerWatch_;
    Work ready_;  // socket events fetched in this round (reactor thread only)
    std::mutex mutex_;
    std::unordered_map<Id, std::weak_ptr<ReactorClient>> clients_;
    std::unordered_map<int, SocketWatch> watches_;  // by descriptor
    std::vector<Id> kicked_;  // a Signal is owed only when this turns non-empty
    std::multimap<Clock::time_point, Id> deadlines_;
    Id nextId_ = 1;
    bool stopping_ = false;
    std::optional<Clock::time_point> armedFor_;  // what the timerfd is set to (reactor thread only)
    std::thread thread_;
};

}  // namespace host
