// Serves every COM port device to Linux programs, as a pseudo-terminal and,
// when asked for, as an RFC 2217 endpoint: one event loop (its own thread)
// for all ports, and a few worker threads for the requests the driver
// blocks in. Ports come and go with the DOS names the driver creates and
// removes.
#pragma once

#include <host/common/non_copyable.h>
#include "../logger.h"
#include "../port_ledger.h"
#include "../wake_queue.h"
#include "../worker_pool.h"
#include "../rfc2217/rfc2217_port.h"
#include "pty_pair.h"
#include "pty_port.h"
#include "slave_watch.h"

#include <host/common/event_loop.h>
#include <host/kernel.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace zelvcomd {

struct PtyOptions {
    std::filesystem::path Directory;
    SlaveAccess Access;
    std::chrono::seconds ClosingWait;
    // Each port COM<n> also listens for an RFC 2217 client on this address,
    // TCP port BasePort + n; none when BasePort is 0.
    std::string Rfc2217Address;
    std::uint16_t Rfc2217BasePort = 0;
};

class PtyBridge : zel::NonCopyable {
public:
    // Starts the loop (the directory exists). Throws when it cannot.
    PtyBridge(host::Kernel& kernel, Logger& log, PortLedger& ledger, PtyOptions options);
    ~PtyBridge();

    // Any thread: DOS names the driver created and removed.
    void OnNamesChanged(const std::vector<std::string>& created,
                        const std::vector<std::string>& removed);
    // Removes every port (open ones are closed) and stops the loop. Before
    // the driver unloads.
    void Stop();

    // For the ports, on the loop thread.
    host::Kernel& Kernel() { return kernel_; }
    PortLedger& Ledger() { return ledger_; }
    Logger& Log() { return log_; }
    const PtyOptions& Options() const { return options_; }
    void WatchMaster(int fd, std::uint32_t events, PtyPort* port);
    void ChangeMaster(int fd, std::uint32_t events);
    void ForgetMaster(int fd);
    int WatchSlave(const std::string& slavePath, PtyPort* port);
    void ForgetSlave(int watch);
    zel::EventLoop& Loop() { return loop_; }
    // Any thread.
    void RunBlocking(std::function<void()> task) { workers_.Post(nullptr, std::move(task)); }
    // After the tasks posted earlier for the same key.
    void RunInOrder(const void* key, std::function<void()> task)
    {
        workers_.Post(key, std::move(task));
    }
    // Whether a worker may stay with one port a while: others are free.
    bool WorkersToSpare() { return workers_.IdleThreads() != 0; }
    void Post(std::function<void()> task) { mailbox_.Push(std::move(task)); }
    // Finds who opened the port's slave, off the loop; the ports opened
    // meanwhile share one pass over /proc. Answers on the loop
    // (PtyPort::OnHolderFound).
    void FindHolder(const std::shared_ptr<PtyPort>& port, const std::string& slave);

private:
    void Run();
    // Runs one event's handler; a failure is logged and the loop goes on.
    template <typename Handler>
    void Guarded(Handler handler);
    void RunPosted();
    void OnSlaveOpens();
    void AddPort(const std::string& comName);
    void AddRfc2217(const std::string& comName);
    void RemovePort(const std::string& comName);
    void RetireAll();
    bool Finished() const;
    void FindHolders();

    host::Kernel& kernel_;
    Logger& log_;
    PortLedger& ledger_;
    const PtyOptions options_;
    zel::EventLoop loop_;
    SlaveWatch slaves_;
    WakeQueue<std::function<void()>> mailbox_;
    zel::EventLoop::Watch slavesWatch_;
    zel::EventLoop::Watch mailboxWatch_;
    std::map<std::string, std::shared_ptr<PtyPort>> ports_;
    std::vector<std::shared_ptr<PtyPort>> retiring_;
    std::map<std::string, std::shared_ptr<Rfc2217Port>> endpoints_;
    std::vector<std::shared_ptr<Rfc2217Port>> retiringEndpoints_;
    std::unordered_map<int, zel::EventLoop::Watch> masters_;
    std::unordered_map<int, PtyPort*> watches_;
    bool stopping_ = false;
    std::mutex holdersMutex_;  // guards the two below, shared with the finder's worker
    std::vector<std::pair<std::weak_ptr<PtyPort>, std::string>> holdersWanted_;
    bool findingHolders_ = false;
    // Joined before the mailbox and the ports go.
    KeyedQueues workers_;
    std::thread thread_;
};

}  // namespace zelvcomd
