#include "sim_stats.h"

#include "bench_error.h"
#include "tty_port.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <sstream>
#include <vector>

namespace zelbench {
namespace {

constexpr std::string_view kStatsReply = "ok stats ";
constexpr std::string_view kReceivedField = "received=";
constexpr std::size_t kReadBlock = 512;

zel::UniqueFd ConnectUnix(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        throw std::runtime_error("socket path too long: " + path);
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    zel::UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.Valid()) {
        throw ErrnoError("socket");
    }
    if (connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        throw ErrnoError("cannot connect to the simulator's command socket " + path);
    }
    return fd;
}

// "ok stats frames=F received=B1,B2,..." -> B<channel>.
std::uint64_t ChannelCount(const std::string& reply, int channel)
{
    const auto field = reply.find(kReceivedField);
    if (reply.rfind(kStatsReply, 0) != 0 || field == std::string::npos) {
        throw std::runtime_error("unexpected stats reply: " + reply);
    }
    std::vector<std::uint64_t> counts;
    std::istringstream list(reply.substr(field + kReceivedField.size()));
    for (std::string item; std::getline(list, item, ',');) {
        counts.push_back(std::stoull(item));
    }
    if (channel < 1 || static_cast<std::size_t>(channel) > counts.size()) {
        throw std::runtime_error("the simulator has no channel " + std::to_string(channel));
    }
    return counts[static_cast<std::size_t>(channel) - 1];
}

}  // namespace

SimulatorCommands::SimulatorCommands(std::string socketPath)
    : path_(std::move(socketPath)), socket_(ConnectUnix(path_))
{
}

SimulatorStats::SimulatorStats(std::string socketPath, const std::string& logPath)
    : commands_(std::move(socketPath)), log_(logPath)
{
}

std::uint64_t SimulatorStats::Received(int channel)
{
    return ChannelCount(commands_.Ask("stats"), channel);
}

void SimulatorStats::AwaitReceived(int channel, std::uint64_t target)
{
    std::uint64_t last = 0;
    auto progress = std::chrono::steady_clock::now();
    for (;;) {
        log_.Forget();
        const std::uint64_t now = Received(channel);
        if (now >= target) {
            return;
        }
        if (now != last) {
            last = now;
            progress = std::chrono::steady_clock::now();
        }
        const auto idle = std::chrono::steady_clock::now() - progress;
        if (idle >= kIdleTimeout ||
            !log_.Wait(std::chrono::ceil<std::chrono::milliseconds>(kIdleTimeout - idle))) {
            throw std::runtime_error("the module took " + std::to_string(last) + " of " +
                                     std::to_string(target) + " bytes on channel " +
                                     std::to_string(channel) + ", then nothing for " +
                                     std::to_string(kIdleTimeout.count()) + " ms");
        }
    }
}

std::string SimulatorCommands::Ask(std::string_view command)
{
    const std::string line = std::string(command) + '\n';
    if (send(socket_.Get(), line.data(), line.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(line.size())) {
        throw ErrnoError("cannot send to " + path_);
    }
    return ReadLine();
}

// Blocking reads, bounded by the same idle timeout as the terminal.
std::string SimulatorCommands::ReadLine()
{
    for (;;) {
        if (const auto end = unread_.find('\n'); end != std::string::npos) {
            std::string line = unread_.substr(0, end);
            unread_.erase(0, end + 1);
            return line;
        }
        pollfd wait{socket_.Get(), POLLIN, 0};
        if (poll(&wait, 1, static_cast<int>(kIdleTimeout.count())) == 0) {
            throw std::runtime_error("no answer from " + path_);
        }
        std::array<char, kReadBlock> block{};
        const ssize_t got = read(socket_.Get(), block.data(), block.size());
        if (got == 0) {
            throw std::runtime_error(path_ + " closed the connection");
        }
        if (got < 0 && errno != EINTR) {
            throw ErrnoError("cannot read " + path_);
        }
        unread_.append(block.data(), static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    }
}

}  // namespace zelbench
