#include "tcp_socket.h"

#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace host {
namespace {

constexpr int kOn = 1;

int Negated()
{
    return -errno;
}

msghdr MessageOver(const std::vector<iovec>& buffers)
{
    msghdr message{};
    message.msg_iov = const_cast<iovec*>(buffers.data());
    message.msg_iovlen = std::min<std::size_t>(buffers.size(), IOV_MAX);
    return message;
}

bool NamesSomething(const sockaddr_in& local)
{
    return local.sin_addr.s_addr != INADDR_ANY || local.sin_port != 0;
}

}  // namespace

int TcpSocket::Open(const sockaddr_in& local)
{
    zel::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP));
    if (!fd.Valid()) {
        return Negated();
    }
    if (setsockopt(fd.Get(), IPPROTO_TCP, TCP_NODELAY, &kOn, sizeof kOn) != 0) {
        return Negated();
    }
    if (NamesSomething(local)) {
        // Several endpoints of one address object share its port.
        setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &kOn, sizeof kOn);
        if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            return Negated();
        }
    }
    fd_ = std::move(fd);
    return 0;
}

int TcpSocket::Connect(const sockaddr_in& remote)
{
    if (::connect(fd_.Get(), reinterpret_cast<const sockaddr*>(&remote), sizeof remote) == 0) {
        return 0;
    }
    return Negated();
}

int TcpSocket::TakeError() const
{
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(fd_.Get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
        return errno;
    }
    return error;
}

bool TcpSocket::HungUp() const
{
    pollfd now{fd_.Get(), 0, 0};
    return ::poll(&now, 1, 0) == 1 && (now.revents & POLLHUP) != 0;
}

TcpSocket::Progress TcpSocket::ConnectProgress(int* error) const
{
    *error = TakeError();
    if (*error != 0) {
        return Progress::Failed;
    }
    sockaddr_in peer{};
    socklen_t peerSize = sizeof peer;
    if (getpeername(fd_.Get(), reinterpret_cast<sockaddr*>(&peer), &peerSize) == 0) {
        return Progress::Connected;
    }
    return Progress::Pending;
}

ssize_t TcpSocket::Send(const std::vector<iovec>& buffers)
{
    const msghdr message = MessageOver(buffers);
    const ssize_t sent = ::sendmsg(fd_.Get(), &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    return sent >= 0 ? sent : Negated();
}

ssize_t TcpSocket::Receive(const std::vector<iovec>& buffers)
{
    msghdr message = MessageOver(buffers);
    const ssize_t received = ::recvmsg(fd_.Get(), &message, MSG_DONTWAIT);
    return received >= 0 ? received : Negated();
}

ssize_t TcpSocket::Peek(void* buffer, std::size_t length)
{
    const ssize_t received = ::recv(fd_.Get(), buffer, length, MSG_DONTWAIT | MSG_PEEK);
    return received >= 0 ? received : Negated();
}

std::size_t TcpSocket::Available() const
{
    int bytes = 0;
    if (::ioctl(fd_.Get(), FIONREAD, &bytes) != 0 || bytes < 0) {
        return 0;
    }
    return static_cast<std::size_t>(bytes);
}

int TcpSocket::ShutdownSend()
{
    return ::shutdown(fd_.Get(), SHUT_WR) == 0 ? 0 : Negated();
}

void TcpSocket::Abort()
{
    const linger reset{1, 0};
    setsockopt(fd_.Get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    fd_.Reset();
}

void TcpSocket::Close()
{
    fd_.Reset();
}

NTSTATUS StatusFromErrno(int error)
{
    switch (error) {
    case 0:
        return STATUS_SUCCESS;
    case ECONNREFUSED:
        return STATUS_CONNECTION_REFUSED;
    case ETIMEDOUT:
        return STATUS_IO_TIMEOUT;
    case EHOSTUNREACH:
    case EHOSTDOWN:
        return STATUS_HOST_UNREACHABLE;
    case ENETUNREACH:
    case ENETDOWN:
        return STATUS_NETWORK_UNREACHABLE;
    case ECONNRESET:
    case EPIPE:
        return STATUS_CONNECTION_RESET;
    case ECONNABORTED:
        return STATUS_CONNECTION_ABORTED;
    case ENOTCONN:
        return STATUS_CONNECTION_INVALID;
    case EADDRINUSE:
        return STATUS_ADDRESS_ALREADY_EXISTS;
    case EADDRNOTAVAIL:
        return STATUS_INVALID_ADDRESS;
    case EACCES:
    case EPERM:
        return STATUS_ACCESS_DENIED;
    case ENOMEM:
    case ENOBUFS:
    case EMFILE:
    case ENFILE:
        return STATUS_INSUFFICIENT_RESOURCES;
    default:
        return STATUS_UNSUCCESSFUL;
    }
}

}  // namespace host
