#include "served_port.h"

#include "sockets.h"

#include <sys/epoll.h>

namespace zelmodsim {
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

ServedPort::ServedPort(zel::EventLoop& loop, EventLog& log, zel::UniqueFd bound, Settings settings, Handlers handlers)
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
    client_.emplace(loop_, std::move(accepted), [this](std::uint32_t events) { OnClientEvent(events); });
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
