// The event loop: accepts clients, reads their requests and hands them to
// the workers, writes replies, and on SIGTERM/SIGINT tears every client
// down and waits for the last request before returning. A connection that
// has not said Hello within the hello timeout is closed, and those waiting
// to say it are bounded apart from the clients, so idle connections never
// take a client's place.
#pragma once

#include "activity_counter.h"
#include "client_session.h"
#include "device_watch.h"
#include "logger.h"

#include <functional>
#include "request_executor.h"
#include "wake_queue.h"
#include "worker_pool.h"

#include <host/common/event_loop.h>
#include <host/common/signal_watch.h>
#include <host/common/unix_listener.h>
#include <host/kernel.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>

namespace zelvcomd {

class Server {
public:
    // SIGHUP calls onHangup; every other signal of the watch stops.
    Server(host::Kernel& kernel, Logger& log, DeviceWatch& watch, PortLedger& ledger,
           zel::UnixListener& listener, zel::SignalWatch& signals,
           std::chrono::seconds helloTimeout, std::function<void()> onHangup);

    // Returns once a stop signal has been handled and every client is gone.
    void Run();

private:
    void Accept();
    void OnClient(int fd, std::uint32_t events);
    // False when the request breaks the protocol: *reason says how.
    bool Admit(const std::shared_ptr<ClientSession>& session, const zelipc::Request& request,
               std::string* reason);
    void StopAwaitingHello(const std::shared_ptr<ClientSession>& session);
    int MillisecondsToNextHello() const;
    void CloseSilentConnections();
    void ProtocolError(const std::shared_ptr<ClientSession>& session, const std::string& reason);
    void FlushQueued();
    void Flush(const std::shared_ptr<ClientSession>& session);
    void Disconnect(std::shared_ptr<ClientSession> session, host::LogLevel level,
                    const std::string& why);
    void Shutdown(int signal);
    std::shared_ptr<ClientSession> Find(int fd) const;

    using Clock = std::chrono::steady_clock;
    struct Connected {
        std::shared_ptr<ClientSession> Session;
        zel::EventLoop::Watch Watch;
        bool Greeted = false;
    };
    struct AwaitingHello {
        std::shared_ptr<ClientSession> Session;
        Clock::time_point Due;
    };

    Logger& log_;
    DeviceWatch& watch_;
    zel::UnixListener& listener_;
    zel::SignalWatch& signals_;
    const std::function<void()> onHangup_;
    zel::EventLoop loop_;
    SessionWakeQueue wake_;
    zel::EventLoop::Watch listenerWatch_;
    zel::EventLoop::Watch signalWatch_;
    zel::EventLoop::Watch wakeWatch_;
    ActivityCounter activity_;
    RequestExecutor executor_;
    const std::chrono::seconds helloTimeout_;
    std::map<int, Connected> sessions_;
    std::size_t greeted_ = 0;
    // Oldest first, so the first is the next due.
    std::deque<AwaitingHello> awaitingHello_;
    std::uint64_t nextClientId_ = 1;
    // Declared last: destroyed first, so no task outlives what it uses.
    KeyedQueues workers_;
};

}  // namespace zelvcomd
