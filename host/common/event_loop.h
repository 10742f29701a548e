// One epoll set and the handlers of the descriptors in it. Handlers are
// keyed by a serial number, not by descriptor: an event fetched for a
// descriptor that was removed in the same round (and whose number may
// already be reused) then reaches nobody. Watches may be made, changed and
// dropped from any thread; one dropped by another thread while the loop is
// in a round may still see that round's event.
#pragma once

#include <host/common/non_copyable.h>
#include <host/common/unique_fd.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <unordered_map>

namespace zel {

class EventLoop : zel::NonCopyable {
public:
    using Handler = std::function<void(std::uint32_t events)>;

    // Registration of one descriptor; it leaves the set when this goes, so
    // declare a Watch after the UniqueFd it watches.
    class Watch {
    public:
        Watch() = default;
        Watch(EventLoop& loop, int fd, std::uint32_t events, Handler handler);
        Watch(Watch&& other) noexcept;
        Watch& operator=(Watch&& other) noexcept;
        ~Watch();

        void SetEvents(std::uint32_t events);

    private:
        void Unregister() noexcept;

        EventLoop* loop_ = nullptr;
        int fd_ = -1;
        std::uint64_t key_ = 0;
    };

    EventLoop();

    static constexpr int kWaitForever = -1;

    // Dispatches events until Stop() is called from a handler.
    void Run();
    // Waits up to timeoutMs for events and dispatches them; a Stop() from a
    // handler leaves the rest of the round undispatched.
    void RunOnce(int timeoutMs);
    void Stop() noexcept { running_ = false; }
    bool Running() const noexcept { return running_; }

private:
    std::uint64_t Add(int fd, std::uint32_t events, Handler handler);
    void Modify(int fd, std::uint64_t key, std::uint32_t events);
    void Remove(int fd, std::uint64_t key) noexcept;
    void Dispatch(std::uint64_t key, std::uint32_t events);

    UniqueFd epoll_;
    std::mutex mutex_;  // guards handlers_ and nextKey_
    std::unordered_map<std::uint64_t, Handler> handlers_;
    std::uint64_t nextKey_ = 1;
    bool running_ = false;  // in a round, and no Stop() yet
};

}  // namespace zel
