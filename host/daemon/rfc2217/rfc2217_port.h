// One COM port served as an RFC 2217 (Telnet COM-PORT-OPTION) endpoint: a
// TCP listener, and at most one client at a time. The port is opened when a
// client connects, as any other opener opens it (so it is exclusive with
// the pseudo-terminal and zelwin32 clients: a client that finds it taken is
// disconnected), and closed when the client goes.
//
// The client's bytes are taken on a worker, in order: data goes out as
// port writes, COM-PORT-OPTION commands become the port's I/O controls (see
// ComPortControl). The module's bytes reach the client through a
// PortDownload on the socket, which also carries the answers and the modem
// state notifications, so nothing the server sends is torn apart.
// Everything else runs on the bridge's event loop.
#pragma once

#include "../pty/port_download.h"
#include "com_port_control.h"
#include "telnet.h"

#include <host/common/event_loop.h>
#include <host/common/unique_fd.h>
#include <host/kernel.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace zelvcomd {

class PtyBridge;

class Rfc2217Port : public std::enable_shared_from_this<Rfc2217Port> {
public:
    Rfc2217Port(PtyBridge& bridge, std::string comName);

    // Throws when the address is no numeric IPv4 or IPv6 address, or the
    // port cannot be bound.
    void Listen(const std::string& address, std::uint16_t port);
    // The port device goes away or the daemon stops: no more clients, and
    // the one there is disconnected.
    void Retire();
    // Retired and the last client's port closed.
    bool Quiet() const { return retired_ && !session_; }

private:
    struct Session;
    enum class Outcome { Empty, More, Ended };

    void Accept();
    void OnOpened(const std::shared_ptr<Session>& session, NTSTATUS status);
    void OnReadable();
    void OnTurn(const std::shared_ptr<Session>& session, Outcome outcome);
    void EndSession();

    // On the session's strand.
    void Open(const std::shared_ptr<Session>& session, NTSTATUS* status);
    Outcome TakeTurn(Session& session);
    void Serve(Session& session, const TelnetServer::Event& event);
    void WriteToPort(Session& session, const Bytes& bytes);

    PtyBridge& bridge_;
    const std::string name_;
    zel::UniqueFd listener_;
    zel::EventLoop::Watch listenerWatch_;
    std::shared_ptr<Session> session_;
    bool retired_ = false;
};

}  // namespace zelvcomd
