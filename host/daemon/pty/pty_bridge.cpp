#include "pty_bridge.h"

#include <sys/epoll.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <set>

namespace zelvcomd {
namespace {

// Port opens and closes connect and disconnect, and a write may wait for a
// reconnect: each holds a thread for up to seconds. These threads stay;
// while all are held more start, and as a port has one turn at a time, a
// port whose module stalls holds one thread and no more.
constexpr std::size_t kWorkerThreads = 8;
constexpr char kComLinkPrefix[] = "\\DosDevices\\COM";
constexpr std::size_t kDosDevicesLength = sizeof("\\DosDevices\\") - 1;

// "\DosDevices\COM11" gives "COM11"; other names give nothing.
std::string ComNameOf(const std::string& link)
{
    const std::string prefix = kComLinkPrefix;
    if (link.size() <= prefix.size() || link.compare(0, prefix.size(), prefix) != 0)
        return {};
    for (std::size_t i = prefix.size(); i < link.size(); ++i) {
        if (std::isdigit(static_cast<unsigned char>(link[i])) == 0)
            return {};
    }
    return link.substr(kDosDevicesLength);
}

}  // namespace

PtyBridge::PtyBridge(host::Kernel& kernel, Logger& log, PortLedger& ledger, PtyOptions options)
    : kernel_(kernel),
      log_(log),
      ledger_(ledger),
      options_(std::move(options)),
      slavesWatch_(loop_, slaves_.Fd(), EPOLLIN,
                   [this](std::uint32_t) { Guarded([this] { OnSlaveOpens(); }); }),
      mailboxWatch_(loop_, mailbox_.Fd(), EPOLLIN,
                    [this](std::uint32_t) {
                        Guarded([this] { RunPosted(); });
                        // Only posted work stops the bridge or retires ports.
                        if (Finished())
                            loop_.Stop();
                    }),
      workers_(kWorkerThreads)
{
    thread_ = std::thread([this] { Run(); });
}

PtyBridge::~PtyBridge()
{
    Stop();
}

void PtyBridge::OnNamesChanged(const std::vector<std::string>& created,
                               const std::vector<std::string>& removed)
{
    std::vector<std::string> added;
    std::vector<std::string> gone;
    for (const auto& link : created) {
        if (auto name = ComNameOf(link); !name.empty())
            added.push_back(name);
    }
    for (const auto& link : removed) {
        if (auto name = ComNameOf(link); !name.empty())
            gone.push_back(name);
    }
    if (added.empty() && gone.empty())
        return;
    Post([this, added, gone] {
        for (const auto& name : gone)
            RemovePort(name);
        for (const auto& name : added)
            AddPort(name);
    });
}

void PtyBridge::Stop()
{
    if (!thread_.joinable())
        return;
    Post([this] {
        stopping_ = true;
        RetireAll();
    });
    thread_.join();
    workers_.WaitIdle();
}

void PtyBridge::Run()
{
    loop_.Run();
}

template <typename Handler>
void PtyBridge::Guarded(Handler handler)
{
    try {
        handler();
    } catch (const std::exception& error) {
        log_.Error(std::string("pseudo-terminal loop: ") + error.what());
    }
}

void PtyBridge::RunPosted()
{
    for (auto& task : mailbox_.Take()) {
        task();
    }
    retiring_.erase(
        std::remove_if(retiring_.begin(), retiring_.end(),
                       [](const std::shared_ptr<PtyPort>& port) { return port->Quiet(); }),
        retiring_.end());
    retiringEndpoints_.erase(std::remove_if(retiringEndpoints_.begin(), retiringEndpoints_.end(),
                                            [](const std::shared_ptr<Rfc2217Port>& endpoint) {
                                                return endpoint->Quiet();
                                            }),
                             retiringEndpoints_.end());
}

bool PtyBridge::Finished() const
{
    return stopping_ && ports_.empty() && retiring_.empty() && endpoints_.empty() &&
           retiringEndpoints_.empty();
}

void PtyBridge::OnSlaveOpens()
{
    const SlaveWatch::Opens opens = slaves_.Take();
    for (const int watch : opens.Watches) {
        if (auto port = watches_.find(watch); port != watches_.end()) {
            port->second->OnSlaveOpened();
        }
    }
    if (opens.Overflowed) {
        log_.Warning("pseudo-terminal open events were lost; checking every port");
        for (auto& [name, port] : ports_)
            port->CheckForProgram();
    }
}

void PtyBridge::AddPort(const std::string& comName)
{
    if (stopping_ || ports_.count(comName) != 0)
        return;
    // First, so that the link tells programs the port is served every way.
    AddRfc2217(comName);
    auto port = std::make_shared<PtyPort>(*this, comName);
    try {
        port->Publish();
    } catch (const std::exception& error) {
        log_.Error(comName + ": no pseudo-terminal: " + error.what());
        return;
    }
    ports_.emplace(comName, std::move(port));
}

void PtyBridge::AddRfc2217(const std::string& comName)
{
    if (options_.Rfc2217BasePort == 0 || endpoints_.count(comName) != 0)
        return;
    const unsigned long port =
        options_.Rfc2217BasePort + std::stoul(comName.substr(sizeof "COM" - 1));
    if (port > UINT16_MAX) {
        log_.Error(comName + ": no RFC 2217 endpoint: TCP port " + std::to_string(port) +
                   " is beyond 65535");
        return;
    }
    auto endpoint = std::make_shared<Rfc2217Port>(*this, comName);
    try {
        endpoint->Listen(options_.Rfc2217Address, static_cast<std::uint16_t>(port));
    } catch (const std::exception& error) {
        log_.Error(comName + ": no RFC 2217 endpoint: " + error.what());
        return;
    }
    endpoints_.emplace(comName, std::move(endpoint));
}

void PtyBridge::RemovePort(const std::string& comName)
{
    if (auto endpoint = endpoints_.find(comName); endpoint != endpoints_.end()) {
        endpoint->second->Retire();
        if (!endpoint->second->Quiet())
            retiringEndpoints_.push_back(endpoint->second);
        endpoints_.erase(endpoint);
    }
    auto found = ports_.find(comName);
    if (found == ports_.end())
        return;
    found->second->Retire();
    if (!found->second->Quiet())
        retiring_.push_back(found->second);
    ports_.erase(found);
}

void PtyBridge::RetireAll()
{
    while (!ports_.empty())
        RemovePort(ports_.begin()->first);
    while (!endpoints_.empty())
        RemovePort(endpoints_.begin()->first);
}

void PtyBridge::FindHolder(const std::shared_ptr<PtyPort>& port, const std::string& slave)
{
    std::lock_guard<std::mutex> lock(holdersMutex_);
    holdersWanted_.emplace_back(port, slave);
    if (!findingHolders_) {
        findingHolders_ = true;
        RunBlocking([this] { FindHolders(); });
    }
}

void PtyBridge::FindHolders()
{
    for (;;) {
        std::vector<std::pair<std::weak_ptr<PtyPort>, std::string>> wanted;
        {
            std::lock_guard<std::mutex> lock(holdersMutex_);
            wanted.swap(holdersWanted_);
            if (wanted.empty()) {
                findingHolders_ = false;
                return;
            }
        }
        std::set<std::string> slaves;
        for (const auto& entry : wanted)
            slaves.insert(entry.second);
        Post([wanted, holders = FindPtyHolders(slaves)] {
            for (const auto& [weak, slave] : wanted) {
                const auto found = holders.find(slave);
                if (auto port = weak.lock()) {
                    port->OnHolderFound(slave, found != holders.end()
                                                   ? std::optional<PtyHolder>(found->second)
                                                   : std::nullopt);
                }
            }
        });
    }
}

void PtyBridge::WatchMaster(int fd, std::uint32_t events, PtyPort* port)
{
    masters_.insert_or_assign(
        fd, zel::EventLoop::Watch(loop_, fd, events, [this, port](std::uint32_t happened) {
            Guarded([port, happened] { port->OnMasterEvents(happened); });
        }));
}

void PtyBridge::ChangeMaster(int fd, std::uint32_t events)
{
    masters_.at(fd).SetEvents(events);
}

void PtyBridge::ForgetMaster(int fd)
{
    masters_.erase(fd);
}

int PtyBridge::WatchSlave(const std::string& slavePath, PtyPort* port)
{
    const int watch = slaves_.Add(slavePath);
    watches_[watch] = port;
    return watch;
}

void PtyBridge::ForgetSlave(int watch)
{
    slaves_.Remove(watch);
    watches_.erase(watch);
}

}  // namespace zelvcomd
