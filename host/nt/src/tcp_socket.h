// The sockets under the TCP transport, and the NT status a socket error
// becomes.
#pragma once

#include <host/common/unique_fd.h>

#include <ntstatus.h>

#include <netinet/in.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <vector>

namespace host {

// One non-blocking TCP socket of a connection endpoint, with TCP_NODELAY
// (the transport never delays small sends). Calls that fail return the
// negated errno, as the kernel does.
class TcpSocket {
public:
    enum class Progress { Pending, Connected, Failed };

    // 0, or the negated errno. Binds to `local` when it names an address
    // or a port (address 0 and port 0 leave both to the system).
    int Open(const sockaddr_in& local);
    bool Valid() const { return fd_.Valid(); }
    int Fd() const { return fd_.Get(); }

    // 0 when connected at once, -EINPROGRESS while connecting.
    int Connect(const sockaddr_in& remote);
    // Where a connect stands; *error is the errno of a failed one.
    Progress ConnectProgress(int* error) const;
    // The socket's pending error (SO_ERROR), cleared by reading it.
    int TakeError() const;
    // Whether the socket reports a hang-up now.
    bool HungUp() const;

    // Bytes moved, or the negated errno (-EAGAIN when nothing can move now).
    ssize_t Send(const std::vector<iovec>& buffers);
    ssize_t Receive(const std::vector<iovec>& buffers);
    ssize_t Peek(void* buffer, std::size_t length);
    // Bytes waiting to be read.
    std::size_t Available() const;

    int ShutdownSend();
    // Ends the connection with a reset.
    void Abort();
    // Ends it as the system does at close (a FIN after any queued data).
    void Close();

private:
    zel::UniqueFd fd_;
};

// The NT status a TDI client sees for a socket error (the values tcpip.sys
// reports through its TDI status codes).
NTSTATUS StatusFromErrno(int error);

}  // namespace host
