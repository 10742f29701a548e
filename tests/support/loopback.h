// Test support: plain TCP clients on 127.0.0.1 (and Unix socket ones), ports
// that refuse them, reads that end at a deadline instead of hanging, and
// bytes to send.
#pragma once

#include "deadline.h"
#include <host/common/unique_fd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <iostream>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>

namespace zel::test {

struct ConnectResult {
    UniqueFd Fd;    // valid when connected
    int Error = 0;  // errno when not
};

inline sockaddr_in LoopbackAddress(std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

inline ConnectResult ConnectLoopback(std::uint16_t port)
{
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in address = LoopbackAddress(port);
    if (!fd.Valid() ||
        connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return {UniqueFd(), errno};
    }
    return {std::move(fd), 0};
}

// A connection to the Unix socket at path; invalid when it failed.
inline UniqueFd ConnectUnix(const std::string& path)
{
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    const bool connected =
        fd.Valid() &&
        connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    return connected ? std::move(fd) : UniqueFd();
}

// A TCP port on 127.0.0.1 that refuses connections until Listen(): the
// socket is bound, so nobody else gets the port, but does not listen yet.
class ClosedPort {
public:
    // A port that may go away and come back (GoAway) is bound shareable.
    explicit ClosedPort(bool mayGoAway = false) : mayGoAway_(mayGoAway) { socket_ = Bound(0); }

    std::uint16_t Port() const { return port_; }

    // Connections accepted later take at most bytes at a time; a peer that
    // is not read soon has to wait.
    void LimitReceiveBuffer(int bytes)
    {
        if (setsockopt(socket_.Get(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) != 0) {
            throw std::runtime_error("cannot limit a socket's receive buffer");
        }
    }

    void Listen(int backlog = 1)
    {
        if (listen(socket_.Get(), backlog) != 0) {
            throw std::runtime_error("cannot listen on a loopback port");
        }
    }

    // No more connections: connects to the port are refused.
    void Close() { socket_ = UniqueFd(); }

    // Refuses connections, still holding the port (a second socket bound to
    // it keeps it), until Listen() again: a module away and back.
    void GoAway()
    {
        UniqueFd holder = Bound(port_);
        socket_ = std::move(holder);
    }

    int Fd() const { return socket_.Get(); }

    // The next connection made to the port once it listens.
    UniqueFd Accept(const Deadline& deadline = Deadline())
    {
        pollfd wait{socket_.Get(), POLLIN, 0};
        if (poll(&wait, 1, deadline.PollMs()) != 1) {
            return UniqueFd();
        }
        return UniqueFd(accept4(socket_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    }

private:
    // With SO_REUSEPORT when the port may go away, so GoAway's socket can
    // share it.
    UniqueFd Bound(std::uint16_t port)
    {
        UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const int on = 1;
        sockaddr_in address = LoopbackAddress(port);
        socklen_t size = sizeof(address);
        if (!fd.Valid() ||
            (mayGoAway_ && setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) != 0) ||
            bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
            throw std::runtime_error("cannot bind a loopback port");
        }
        port_ = ntohs(address.sin_port);
        return fd;
    }

    bool mayGoAway_;
    UniqueFd socket_;
    std::uint16_t port_ = 0;
};

// Drops a connection with a reset (SO_LINGER 0, then close).
inline void ResetConnection(UniqueFd& connection)
{
    const linger reset{1, 0};
    setsockopt(connection.Get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    connection = UniqueFd();
}

inline bool SendAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t sent = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

enum class StreamEnd { Complete, Eof, Error, Timeout };

struct Received {
    std::string Data;
    StreamEnd End = StreamEnd::Complete;
    int Error = 0;  // errno for StreamEnd::Error
};

// Reads until count bytes have come, the peer closes or resets, or the
// deadline passes. Never reads past count. Any stream descriptor will do:
// on a terminal, a hangup ends it as Eof or as the Error EIO.
inline Received ReceiveBytes(int fd, std::size_t count, const Deadline& deadline = Deadline())
{
    constexpr std::size_t kBlock = 64 * 1024;
    std::array<char, kBlock> block{};
    Received received;
    while (received.Data.size() < count) {
        pollfd wait{fd, POLLIN, 0};
        const int ready = poll(&wait, 1, deadline.PollMs());
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            received.End = StreamEnd::Timeout;
            return received;
        }
        const std::size_t want = std::min(block.size(), count - received.Data.size());
        const ssize_t got = read(fd, block.data(), want);
        if (got == 0) {
            received.End = StreamEnd::Eof;
            return received;
        }
        if (got < 0 && errno != EINTR && errno != EAGAIN) {
            received.End = StreamEnd::Error;
            received.Error = errno;
            return received;
        }
        received.Data.append(block.data(), static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    }
    return received;
}

// Reads until the peer closes or resets (or the deadline passes).
inline Received ReceiveToEnd(int fd, const Deadline& deadline = Deadline())
{
    return ReceiveBytes(fd, std::numeric_limits<std::size_t>::max(), deadline);
}

// Reads until the data received ends with marker.
inline Received ReceiveThrough(int fd, std::string_view marker,
                               const Deadline& deadline = Deadline())
{
    Received received;
    while (received.Data.size() < marker.size() ||
           received.Data.compare(received.Data.size() - marker.size(), marker.size(), marker) !=
               0) {
        Received next = ReceiveBytes(fd, 1, deadline);
        received.Data += next.Data;
        if (next.End != StreamEnd::Complete) {
            received.End = next.End;
            received.Error = next.Error;
            return received;
        }
    }
    return received;
}

// count bytes of a pseudo-random sequence from seed: every byte value
// occurs, and a block lost, doubled or out of order shows.
inline std::string PatternBytes(std::size_t count, unsigned seed)
{
    std::cout << "pattern of " << count << " bytes, seed " << seed << std::endl;
    std::mt19937 generator(seed);
    std::string bytes(count, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(generator());
    }
    return bytes;
}

}  // namespace zel::test
