#include "rfc2217_port.h"

#include "../pty/pty_bridge.h"

#include <host/common/errors.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace zelvcomd {
namespace {

// A turn reads at most this many times, so that a client sending without
// pause does not keep the worker from other ports' jobs.
constexpr int kReadsPerTurn = 16;
constexpr std::size_t kReadSize = 4096;
constexpr int kBacklog = 4;
// A write that found the module away is tried again after a delay growing
// by this much each time, up to the longest (as for a pseudo-terminal).
constexpr std::chrono::milliseconds kFirstRetryDelay(250);
constexpr std::chrono::milliseconds kLongestRetryDelay(2000);

std::string PeerName(const sockaddr_storage& address, socklen_t length)
{
    char host[NI_MAXHOST] = "?";
    char service[NI_MAXSERV] = "?";
    getnameinfo(reinterpret_cast<const sockaddr*>(&address), length, host, sizeof host, service,
                sizeof service, NI_NUMERICHOST | NI_NUMERICSERV);
    return std::string(host) + ":" + service;
}

}  // namespace

struct Rfc2217Port::Session {
    Session(int fd, std::string peer) : Socket(fd), Peer(std::move(peer)) {}

    zel::UniqueFd Socket;
    const std::string Peer;
    zel::EventLoop::Watch Watch;  // leaves the loop before the socket closes
    bool Ending = false;          // loop only

    // Set up by the open, then used on the strand (and the download's
    // threads).
    std::shared_ptr<host::File> File;
    std::unique_ptr<ComPortControl> Control;
    std::shared_ptr<PortDownload> Download;
    TelnetServer Telnet;
    bool ModemStateSent = false;

    std::atomic<bool> Stopped{false};
    std::mutex StopMutex;
    std::condition_variable StopWake;
};

Rfc2217Port::Rfc2217Port(PtyBridge& bridge, std::string comName)
    : bridge_(bridge), name_(std::move(comName))
{
}

void Rfc2217Port::Listen(const std::string& address, std::uint16_t port)
{
    sockaddr_storage bound{};
    socklen_t length = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&bound);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&bound);
    if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        length = sizeof *v4;
    } else if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        length = sizeof *v6;
    } else {
        throw std::runtime_error("'" + address + "' is no IPv4 or IPv6 address");
    }
    zel::UniqueFd fd(socket(bound.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.Valid())
        throw zel::ErrnoError("socket");
    const int on = 1;
    setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const std::string where = address + " port " + std::to_string(port);
    if (bind(fd.Get(), reinterpret_cast<const sockaddr*>(&bound), length) != 0)
        throw zel::ErrnoError("binding " + where);
    if (listen(fd.Get(), kBacklog) != 0)
        throw zel::ErrnoError("listening on " + where);
    listener_ = std::move(fd);
    listenerWatch_ = zel::EventLoop::Watch(bridge_.Loop(), listener_.Get(), EPOLLIN,
                                           [this](std::uint32_t) { Accept(); });
    bridge_.Log().Info(name_ + ": RFC 2217 clients on " + where);
}

void Rfc2217Port::Retire()
{
    if (retired_)
        return;
    retired_ = true;
    listenerWatch_ = {};
    listener_.Reset();
    if (session_)
        EndSession();
}

// ---- the loop ----------------------------------------------------------------

void Rfc2217Port::Accept()
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    zel::UniqueFd fd(accept4(listener_.Get(), reinterpret_cast<sockaddr*>(&address), &length,
                             SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!fd.Valid())
        return;  // gone before it was taken, or out of descriptors: the next try tells
    const std::string peer = PeerName(address, length);
    if (session_) {
        bridge_.Log().Warning(name_ + ": RFC 2217 client " + peer +
                              " refused: the port has a client");
        return;
    }
    const int on = 1;
    setsockopt(fd.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    session_ = std::make_shared<Session>(fd.Release(), peer);
    bridge_.Log().Info(name_ + ": RFC 2217 client " + peer + " connected");
    auto self = shared_from_this();
    auto session = session_;
    bridge_.RunInOrder(session.get(), [self, session] {
        NTSTATUS status = STATUS_SUCCESS;
        self->Open(session, &status);
        self->bridge_.Post([self, session, status] { self->OnOpened(session, status); });
    });
}

void Rfc2217Port::OnOpened(const std::shared_ptr<Session>& session, NTSTATUS status)
{
    if (session != session_ || session->Ending)
        return;  // the close is queued behind the open
    if (!NT_SUCCESS(status)) {
        bridge_.Log().Warning(name_ + ": RFC 2217 client " + session->Peer +
                              " disconnected: the port did not open: " +
                              bridge_.Ledger().WhyNotOpened("\\\\.\\" + name_, status));
        EndSession();
        return;
    }
    session->Watch = zel::EventLoop::Watch(bridge_.Loop(), session->Socket.Get(), EPOLLIN,
                                           [this](std::uint32_t) { OnReadable(); });
}

void Rfc2217Port::OnReadable()
{
    auto session = session_;
    session->Watch.SetEvents(0);  // until the turn is over
    auto self = shared_from_this();
    bridge_.RunInOrder(session.get(), [self, session] {
        const Outcome outcome = self->TakeTurn(*session);
        self->bridge_.Post([self, session, outcome] { self->OnTurn(session, outcome); });
    });
}

void Rfc2217Port::OnTurn(const std::shared_ptr<Session>& session, Outcome outcome)
{
    if (session != session_ || session->Ending)
        return;
    if (outcome == Outcome::Ended) {
        EndSession();
    } else if (outcome == Outcome::More) {
        OnReadable();
    } else {
        session->Watch.SetEvents(EPOLLIN);
    }
}

void Rfc2217Port::EndSession()
{
    auto session = session_;
    session->Ending = true;
    session->Watch = {};
    {
        std::lock_guard<std::mutex> lock(session->StopMutex);
        session->Stopped = true;
    }
    session->StopWake.notify_all();
    auto self = shared_from_this();
    bridge_.RunInOrder(session.get(), [self, session] {
        if (session->Download) {
            session->Download->Stop();
            session->Download->AwaitRequests();
        }
        if (session->File)
            session->File->Close();
        self->bridge_.Post([self, session] {
            self->session_.reset();
            self->bridge_.Log().Info(self->name_ + ": RFC 2217 client " + session->Peer +
                                     " gone; the port is closed");
        });
    });
}

// ---- the strand --------------------------------------------------------------

void Rfc2217Port::Open(const std::shared_ptr<Session>& session, NTSTATUS* status)
{
    if (session->Stopped)
        return;
    std::unique_ptr<host::File> opened;
    const Opener client{zelipc::PortOpener::Rfc2217, 0, "", session->Peer};
    *status = bridge_.Ledger().Open(bridge_.Kernel(), "\\\\.\\" + name_, client, &opened);
    if (!NT_SUCCESS(*status))
        return;
    std::shared_ptr<host::File> file(std::move(opened));
    SERIAL_TIMEOUTS timeouts{};
    *status = PortDownload::Prepare(*file, SERIAL_EV_CTS, &timeouts);
    if (!NT_SUCCESS(*status)) {
        file->Close();
        return;
    }
    session->File = file;
    session->Control = std::make_unique<ComPortControl>(file, bridge_.Log(), name_);
    session->Control->RaiseLines();
    auto download = std::make_shared<PortDownload>(bridge_.Kernel(), file, session->Socket.Get(),
                                                   timeouts, bridge_.Log(), name_);
    download->Encode(&TelnetServer::AppendEscaped);
    // Runs inside the download, which the session outlives.
    Session* raw = session.get();
    download->OnModemChange([raw] {
        const Bytes notification = raw->Control->ModemState(false);
        if (!notification.empty())
            raw->Download->Send(notification);
    });
    try {
        download->WatchMaster();
    } catch (const std::exception& error) {
        bridge_.Log().Error(name_ + ": " + error.what());
        file->Close();
        session->File.reset();
        *status = STATUS_INSUFFICIENT_RESOURCES;
        return;
    }
    session->Download = download;
    download->Send(session->Telnet.Greeting());
    download->Start();
}

Rfc2217Port::Outcome Rfc2217Port::TakeTurn(Session& session)
{
    std::array<std::uint8_t, kReadSize> buffer;
    for (int reads = 0; reads < kReadsPerTurn; ++reads) {
        if (session.Stopped)
            return Outcome::Ended;
        const ssize_t length = read(session.Socket.Get(), buffer.data(), buffer.size());
        if (length < 0 && errno == EINTR)
            continue;
        if (length < 0 && errno == EAGAIN)
            return Outcome::Empty;
        if (length <= 0)
            return Outcome::Ended;  // closed, or reset
        try {
            for (const auto& event :
                 session.Telnet.Feed(buffer.data(), static_cast<std::size_t>(length))) {
                Serve(session, event);
            }
        } catch (const TelnetViolation& violation) {
            bridge_.Log().Warning(name_ + ": RFC 2217 client " + session.Peer +
                                  " disconnected: " + violation.what());
            return Outcome::Ended;
        }
    }
    return Outcome::More;
}

void Rfc2217Port::Serve(Session& session, const TelnetServer::Event& event)
{
    switch (event.What) {
    case TelnetServer::Event::Kind::Data:
        WriteToPort(session, event.Content);
        break;
    case TelnetServer::Event::Kind::Reply:
        session.Download->Send(event.Content);
        break;
    case TelnetServer::Event::Kind::ComPort:
        session.Download->Send(session.Control->Serve(event.Content));
        session.Download->Hold(session.Control->Suspended());
        break;
    }
    // The client learns the modem state as soon as it speaks the option;
    // afterwards, when it changes.
    if (!session.ModemStateSent && session.Telnet.ComPortAgreed()) {
        session.ModemStateSent = true;
        session.Download->Send(session.Control->ModemState(true));
    }
}

// While the module is away the bytes wait (the driver connects again in the
// background) and the socket is not read meanwhile, so TCP holds the client
// back; only the client's leaving gives up on them.
void Rfc2217Port::WriteToPort(Session& session, const Bytes& bytes)
{
    std::size_t sent = 0;
    for (int attempts = 0; sent < bytes.size();) {
        const host::IoResult result =
            session.File->Write(bytes.data() + sent, static_cast<ULONG>(bytes.size() - sent));
        if (NT_SUCCESS(result.Status)) {
            if (attempts != 0)
                bridge_.Log().Info(name_ + ": the module is back; the held bytes go out");
            attempts = 0;
            sent += std::min<std::size_t>(result.Information, bytes.size() - sent);
            continue;
        }
        if (attempts++ == 0) {
            bridge_.Log().Warning(
                name_ + ": the module is away (status " + StatusText(result.Status) + "); " +
                std::to_string(bytes.size() - sent) + " bytes wait until it is back");
        }
        std::unique_lock<std::mutex> lock(session.StopMutex);
        if (session.StopWake.wait_for(lock,
                                      std::min(kFirstRetryDelay * attempts, kLongestRetryDelay),
                                      [&session] { return session.Stopped.load(); })) {
            break;
        }
    }
    if (sent < bytes.size()) {
        bridge_.Log().Warning(name_ + ": the RFC 2217 client left; " +
                              std::to_string(bytes.size() - sent) + " bytes it wrote are dropped");
    }
}

}  // namespace zelvcomd
