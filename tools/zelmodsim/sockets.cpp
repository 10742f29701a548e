#include "sockets.h"

#include <host/common/errors.h>

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace zelmodsim {
namespace {

constexpr int kOn = 1;

std::string Describe(const in_addr& address, std::uint16_t port)
{
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof text);
    return std::string(text) + ":" + std::to_string(port);
}

}  // namespace

zel::UniqueFd BindTcp(const in_addr& address, std::uint16_t port)
{
    zel::UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.Valid()) {
        throw zel::ErrnoError("socket");
    }
    // Lets a restarted simulator take its fixed port while old connections linger.
    setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &kOn, sizeof kOn);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr = address;
    local.sin_port = htons(port);
    if (bind(fd.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        throw zel::ErrnoError("cannot bind " + Describe(address, port));
    }
    return fd;
}

void StartListening(int fd, int backlog)
{
    if (listen(fd, backlog) != 0) {
        throw zel::ErrnoError("cannot listen on port " + std::to_string(LocalPort(fd)));
    }
}

std::uint16_t LocalPort(int fd)
{
    sockaddr_in local{};
    socklen_t size = sizeof local;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) != 0) {
        throw zel::ErrnoError("getsockname");
    }
    return ntohs(local.sin_port);
}

zel::UniqueFd AcceptPending(int listener)
{
    return zel::UniqueFd(accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
}

void SetNoDelay(int fd) { setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &kOn, sizeof kOn); }

void SetResetOnClose(int fd)
{
    const linger abortive{kOn, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
}

}  // namespace zelmodsim
