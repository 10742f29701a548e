// The event loop: accepts clients, reads their requests and hands them to
// the workers, writes replies, and on SIGTERM/SIGINT tears every client
// down and waits for the last request before returning.
#pragma once

#include "activity_counter.h"
#include "client_session.h"
#include "device_watch.h"
#include "logger.h"
#include "request_executor.h"
#include "wake_queue.h"
#include "worker_pool.h"

#include <host/common/event_loop.h>
#include <host/common/signal_watch.h>
#include <host/common/unix_listener.h>
#include <host/kernel.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace zelvcomd {

class Server {
public:
    Server(host::Kernel& kernel, Logger& log, DeviceWatch& watch, zel::UnixListener& listener,
           zel::SignalWatch& signals);

    // Returns once a stop signal has been handled and every client is gone.
    void Run();

private:
    void Accept();
    void OnClient(int fd, std::uint32_t events);
    // False when the request breaks the protocol: *reason says how.
    bool Admit(const std::shared_ptr<ClientSession>& session, const zelipc::Request& request,
               std::string* reason);
    void ProtocolError(const std::shared_ptr<ClientSession>& session, const std::string& reason);
    void FlushQueued();
    void Flush(const std::shared_ptr<ClientSession>& session);
    void Disconnect(std::shared_ptr<ClientSession> session, host::LogLevel level,
                    const std::string& why);
    void Shutdown(int signal);
    std::shared_ptr<ClientSession> Find(int fd) const;

    struct Connected {
        std::shared_ptr<ClientSession> Session;
        zel::EventLoop::Watch Watch;
    };

    Logger& log_;
    DeviceWatch& watch_;
    zel::UnixListener& listener_;
    zel::SignalWatch& signals_;
    zel::EventLoop loop_;
    SessionWakeQueue wake_;
    zel::EventLoop::Watch listenerWatch_;
    zel::EventLoop::Watch signalWatch_;
    zel::EventLoop::Watch wakeWatch_;
    ActivityCounter activity_;
    RequestExecutor executor_;
    std::map<int, Connected> sessions_;
    std::uint64_t nextClientId_ = 1;
    // Declared last: destroyed first, so no task outlives what it uses.
    KeyedQueues workers_;
};

}  // namespace zelvcomd
