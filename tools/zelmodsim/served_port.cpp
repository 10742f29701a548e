#include "served_port.h"

#include <host/common/errors.h>

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
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

void SetNoDelay(int fd)
{
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &kOn, sizeof kOn);
}

void SetResetOnClose(int fd)
{
    const linger abortive{kOn, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
}

Connection::Connection(zel::EventLoop& loop, zel::UniqueFd fd, zel::EventLoop::Handler handler)
    : fd_(std::move(fd)), watch_(loop, fd_.Get(), EPOLLIN, std::move(handler)), interest_(EPOLLIN)
{
}

Connection::ReadResult Connection::Read(char* buffer, std::size_t size)
{
    const ssize_t got = recv(fd_.Get(), buffer, size, 0);
    if (got > 0) {
        return {ReadStatus::Data, static_cast<std::size_t>(got)};
    }
    if (got == 0) {
        return {ReadStatus::End, 0};
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        return {ReadStatus::WouldBlock, 0};
    }
    return {ReadStatus::Failed, 0};
}

bool Connection::Write(std::string_view bytes)
{
    pending_.append(bytes);
    return Flush();
}

bool Connection::Flush()
{
    while (Pending() > 0) {
        const ssize_t sent =
            send(fd_.Get(), pending_.data() + sentOffset_, Pending(), MSG_NOSIGNAL);
        if (sent > 0) {
            sentOffset_ += static_cast<std::size_t>(sent);
        } else if (sent < 0 && errno == EINTR) {
            continue;
        } else if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        } else {
            return false;
        }
    }
    if (Pending() == 0) {
        pending_.clear();
        sentOffset_ = 0;
    }
    ShutdownIfFlushed();
    UpdateInterest();
    return true;
}

void Connection::CloseGracefully()
{
    closing_ = true;
    readingPaused_ = false;
    ShutdownIfFlushed();
    UpdateInterest();
}

void Connection::ResetOnClose()
{
    SetResetOnClose(fd_.Get());
}

void Connection::PauseReading(bool paused)
{
    if (paused != readingPaused_ && !closing_) {
        readingPaused_ = paused;
        UpdateInterest();
    }
}

void Connection::ShutdownIfFlushed()
{
    if (closing_ && !shutDown_ && Pending() == 0) {
        shutdown(fd_.Get(), SHUT_WR);
        shutDown_ = true;
    }
}

void Connection::UpdateInterest()
{
    std::uint32_t events = readingPaused_ ? 0U : static_cast<std::uint32_t>(EPOLLIN);
    if (Pending() > 0) {
        events |= EPOLLOUT;
    }
    if (events != interest_) {
        watch_.SetEvents(events);
        interest_ = events;
    }
}

namespace {

// Output a slow reader has not taken yet; past the high mark we stop reading
// from it (an echo client that never reads must not grow us without bound).
constexpr std::size_t kPauseAbove = 1024 * 1024;
constexpr std::size_t kResumeBelow = 256 * 1024;

std::uint32_t ListenEvents(ServedPort::Listening listening)
{
    return listening == ServedPort::Listening::Accept ? static_cast<std::uint32_t>(EPOLLIN) : 0U;
}

}  // namespace

ServedPort::ServedPort(zel::EventLoop& loop, EventLog& log, zel::UniqueFd bound, Settings settings,
                       Handlers handlers)
    : loop_(loop),
      log_(log),
      listener_(std::move(bound)),
      port_(LocalPort(listener_.Get())),
      settings_(std::move(settings)),
      listening_(settings_.Start),
      handlers_(std::move(handlers)),
      readBuffer_(settings_.ReadChunk)
{
    if (Refusing()) {
        return;  // bound, never listening: the kernel answers connects with RST
    }
    StartListening(listener_.Get(), settings_.Backlog);
    listenWatch_ = zel::EventLoop::Watch(loop_, listener_.Get(), ListenEvents(listening_),
                                         [this](std::uint32_t) { OnListenerReady(); });
}

bool ServedPort::Send(std::string_view bytes)
{
    if (!HasClient()) {
        return false;
    }
    if (!client_->Write(bytes)) {
        Drop("error");
        return false;
    }
    ApplyBackpressure();
    return true;
}

bool ServedPort::Close(std::string_view reason)
{
    if (!HasClient()) {
        return false;
    }
    log_.Line("DISCONNECTED " + settings_.Label + " reason=" + std::string(reason));
    client_->CloseGracefully();
    handlers_.Disconnected();
    return true;
}

bool ServedPort::Reset(std::string_view reason)
{
    if (!HasClient()) {
        return false;
    }
    client_->ResetOnClose();
    Drop(reason);
    return true;
}

void ServedPort::SetListening(Listening listening)
{
    listening_ = listening;
    listenWatch_.SetEvents(ListenEvents(listening_));
}

void ServedPort::OnListenerReady()
{
    zel::UniqueFd accepted = AcceptPending(listener_.Get());
    if (!accepted.Valid()) {
        return;  // the client gave up before we got to it
    }
    SetNoDelay(accepted.Get());
    if (HasClient()) {
        Drop("replaced");
    }
    client_.reset();  // a closing one just goes
    client_.emplace(loop_, std::move(accepted),
                    [this](std::uint32_t events) { OnClientEvent(events); });
    log_.Line("CONNECTED " + settings_.Label);
    handlers_.Connected();
}

void ServedPort::OnClientEvent(std::uint32_t events)
{
    if ((events & EPOLLOUT) != 0 && !client_->Flush()) {
        OnClientFailed();
        return;
    }
    if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) {
        ReadClient();
    }
    if (HasClient()) {
        ApplyBackpressure();
    }
}

void ServedPort::ReadClient()
{
    const auto result = client_->Read(readBuffer_.data(), readBuffer_.size());
    switch (result.Status) {
    case Connection::ReadStatus::WouldBlock:
        return;
    case Connection::ReadStatus::End:
        if (client_->Closing()) {
            client_.reset();  // the peer finished our graceful close
        } else {
            Drop("peer");
        }
        return;
    case Connection::ReadStatus::Failed:
        OnClientFailed();
        return;
    case Connection::ReadStatus::Data:
        if (!client_->Closing()) {
            handlers_.Received(std::string_view(readBuffer_.data(), result.Size));
        }
        return;
    }
}

void ServedPort::OnClientFailed()
{
    if (client_->Closing()) {
        client_.reset();
    } else {
        Drop("error");
    }
}

void ServedPort::Drop(std::string_view reason)
{
    log_.Line("DISCONNECTED " + settings_.Label + " reason=" + std::string(reason));
    client_.reset();
    handlers_.Disconnected();
}

void ServedPort::ApplyBackpressure()
{
    if (client_->Pending() > kPauseAbove) {
        client_->PauseReading(true);
    } else if (client_->Pending() < kResumeBelow) {
        client_->PauseReading(false);
    }
}

}  // namespace zelmodsim
