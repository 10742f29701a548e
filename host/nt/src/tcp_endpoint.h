// A connection endpoint: one TCP connection at a time over a non-blocking
// socket, the requests pending on it, and the association with an address
// object whose event handlers hear about it.
//
// Dispatch routines (any thread, up to DISPATCH_LEVEL) check a request
// against the connection's state and queue it; the reactor thread moves
// the data, completes requests and calls the event handlers. Connects and
// aborts touch the socket from the dispatch routine, under the endpoint's
// lock, since neither waits.
#pragma once

#include "reactor.h"
#include "tcp_address.h"
#include "tcp_requests.h"
#include "tcp_socket.h"

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace host {

// Bytes read from a connection's socket beyond what the receive being
// served asked for. Once a receive has been filled to its end, more is
// likely to follow: the next read takes it and up to kBytes more in one
// system call, and the receives after it are served from here first (one
// posted while bytes are here completes at once).
// Reactor thread only, under the endpoint's lock.
class TcpReadAhead {
public:
    static constexpr std::size_t kBytes = 6 * 1024;

    bool Empty() const { return begin_ == end_; }
    std::size_t Size() const { return end_ - begin_; }
    const std::uint8_t* Data() const { return buffer_.data() + begin_; }

    // A read is to run on into the buffer: after a receive was filled.
    void Want() { wanted_ = true; }
    // Where a read may run on to, when one is wanted and the buffer is
    // empty; nothing otherwise.
    std::vector<iovec> Spare();
    // The read ran this many bytes on.
    void Filled(std::size_t bytes);

    // Moves into the buffers as much as they take. Returns the bytes moved.
    std::size_t CopyTo(const std::vector<iovec>& buffers);
    void Consume(std::size_t bytes);
    // The connection has ended: the bytes and the memory go.
    void Clear();

private:
    std::vector<std::uint8_t> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    bool wanted_ = false;
};

class TcpEndpoint : public ReactorClient, public std::enable_shared_from_this<TcpEndpoint> {
public:
    using Deadline = std::optional<Reactor::Clock::time_point>;

    // At most this much of the waiting data is shown to a receive handler;
    // the rest waits for a receive. Small, as every connection holds a
    // buffer of this size.
    static constexpr ULONG kLookaheadBytes = 4 * 1024;

    TcpEndpoint(Reactor& reactor, PDEVICE_OBJECT device, CONNECTION_CONTEXT context);
    // Registers with the reactor; once, right after construction.
    void Start();

    // Each returns what the dispatch routine returns; the IRP is completed
    // or pending by then.
    NTSTATUS Associate(std::shared_ptr<TcpAddress> address);
    NTSTATUS Disassociate();
    NTSTATUS Connect(TcpRequest request, const sockaddr_in& remote);
    NTSTATUS Disconnect(TcpRequest request);
    NTSTATUS Send(TcpRequest request);
    NTSTATUS Receive(TcpRequest request);

    // The cancel routine's part: the request completes with
    // STATUS_CANCELLED on the reactor's thread.
    void Cancel(PIRP irp);
    // IRP_MJ_CLOSE: a bug check while requests are pending; otherwise ends
    // the connection, with a reset unless the client disconnected first.
    void Close();

    void Service(std::uint32_t events) override;

private:
    enum class Link { Idle, Connecting, Open, Ended };

    struct Offer {
        std::shared_ptr<TcpAddress> Address;
        ULONG Indicated;
        ULONG Available;
    };

    // Dispatch side (tcp_endpoint.cpp).
    NTSTATUS Finish(std::unique_lock<std::mutex>& lock, TcpActions& actions, TcpRequest request,
                    NTSTATUS status);
    NTSTATUS Admit(std::unique_lock<std::mutex>& lock, TcpActions& actions, RequestQueue& queue,
                   TcpRequest request);
    NTSTATUS StartConnect(std::unique_lock<std::mutex>& lock, TcpActions& actions,
                          TcpRequest request, const sockaddr_in& remote);
    NTSTATUS Release(std::unique_lock<std::mutex>& lock, TcpActions& actions, TcpRequest request);
    bool Busy() const;
    void RetireConnection(TcpActions& actions);
    void ForgetConnect(const TcpRequest& request);
    std::optional<TcpRequest> TakeAnywhere(PIRP irp);
    void RequireNothingPending() const;

    // Connection state, shared by both sides (tcp_endpoint.cpp).
    void BeginOpen();
    void ShutDownSending();
    void PeerClosed(TcpActions& actions);
    void Fail(NTSTATUS status, TcpActions& actions);
    void Abort(NTSTATUS status, TcpActions& actions);
    void EndLink();
    void DropSocket(bool reset);
    void CompleteAll(NTSTATUS status, TcpActions& actions);
    void CompleteAll(RequestQueue& queue, NTSTATUS status, TcpActions& actions);
    void GiveBack(RequestQueue& queue, TcpActions& actions);
    void UpdateWatch();
    std::optional<std::uint32_t> WantedEvents() const;

    // Reactor side (tcp_endpoint_data.cpp).
    void Progress(std::uint32_t events, TcpActions& actions);
    void ProgressConnect(std::uint32_t events, TcpActions& actions);
    bool CheckError(std::uint32_t events, TcpActions& actions);
    void ProgressSends(TcpActions& actions);
    void ProgressRelease(TcpActions& actions);
    void ProgressReceives(TcpActions& actions);
    void OfferIfDue();
    std::optional<Offer> PeekOffer(TcpActions& actions);
    void Indicate(const Offer& offer);
    void Consume(ULONG taken, TcpActions& actions);

    Reactor& reactor_;
    PDEVICE_OBJECT const device_;
    const CONNECTION_CONTEXT context_;
    Reactor::Id id_ = 0;

    mutable std::mutex mutex_;
    std::shared_ptr<TcpAddress> address_;
    TcpSocket socket_;
    Link link_ = Link::Idle;
    bool localShut_ = false;  // our FIN is sent
    bool peerShut_ = false;   // the peer's FIN has been read
    bool indicated_ = false;  // the disconnect handler has heard of this connection's end
    bool held_ = false;       // data declined by the receive handler waits for a receive
    bool closed_ = false;
    RequestQueue connects_;
    RequestQueue disconnects_;
    RequestQueue sends_;
    RequestQueue receives_;
    // Cancelled, completed on the reactor's next round: as a real
    // transport may, a cancel completes its request later, on another
    // thread, so a client must wait for the completion.
    RequestQueue cancelled_;
    bool watched_ = false;
    std::uint32_t watchedEvents_ = 0;
    // What the receive handler is shown; the reactor thread's alone.
    std::vector<std::uint8_t> lookahead_;
    TcpReadAhead readAhead_;
};

}  // namespace host
