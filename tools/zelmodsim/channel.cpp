#include "channel.h"

#include "sockets.h"

#include <algorithm>

namespace zelmodsim {
namespace {

// One client at a time, so a short queue; while holding it decides how many
// connects complete before the rest time out (see --help).
constexpr int kChannelBacklog = 1;
constexpr std::size_t kChannelReadChunk = 64 * 1024;

ServedPort::Listening InitialListening(const ChannelSetup& setup)
{
    if (setup.Refuse) {
        return ServedPort::Listening::Refuse;
    }
    return setup.AcceptDelay ? ServedPort::Listening::Hold : ServedPort::Listening::Accept;
}

}  // namespace

Channel::Channel(zel::EventLoop& loop, EventLog& log, int number, ChannelSetup setup, const in_addr& address)
    : log_(log),
      number_(number),
      setup_(std::move(setup)),
      port_(loop, log, BindTcp(address, setup_.Port),
            ServedPort::Settings{Label(), InitialListening(setup_), kChannelBacklog, kChannelReadChunk},
            ServedPort::Handlers{[this] { OnConnected(); },
                                 [this](std::string_view bytes) { OnReceived(bytes); }, [] {}})
{
}

CommandResult Channel::Send(std::string_view bytes)
{
    if (!port_.Send(bytes)) {
        return NoClient();
    }
    log_.Line("SENT " + Label() + " bytes=" + std::to_string(bytes.size()));
    return CommandResult::Success();
}

CommandResult Channel::Close() { return port_.Close("close") ? CommandResult::Success() : NoClient(); }

CommandResult Channel::Reset() { return port_.Reset("reset") ? CommandResult::Success() : NoClient(); }

CommandResult Channel::Accept()
{
    if (auto refused = CheckListening(); !refused.Ok) {
        return refused;
    }
    port_.SetListening(ServedPort::Listening::Accept);
    return CommandResult::Success();
}

CommandResult Channel::Hold()
{
    if (auto refused = CheckListening(); !refused.Ok) {
        return refused;
    }
    port_.SetListening(ServedPort::Listening::Hold);
    return CommandResult::Success();
}

void Channel::OnConnected()
{
    connectionReceived_ = 0;
    if (setup_.Mode == ChannelMode::Source && !setup_.SourceBytes.empty()) {
        Send(setup_.SourceBytes);
    }
}

void Channel::OnReceived(std::string_view bytes)
{
    const bool limited = setup_.Limit != LimitAction::None;
    if (limited) {
        bytes = bytes.substr(0, static_cast<std::size_t>(
                                    std::min<std::uint64_t>(bytes.size(), setup_.LimitBytes - connectionReceived_)));
    }
    connectionReceived_ += bytes.size();
    received_ += bytes.size();
    log_.Line("RECEIVED " + Label() + " bytes=" + std::to_string(bytes.size()) +
              " total=" + std::to_string(received_));
    if (setup_.Mode == ChannelMode::Echo && !port_.Send(bytes)) {
        return;  // the send failure dropped the client
    }
    if (limited && connectionReceived_ == setup_.LimitBytes) {
        EndAtLimit();
    }
}

void Channel::EndAtLimit()
{
    if (setup_.Limit == LimitAction::Reset) {
        port_.Reset("reset-after");
    } else {
        port_.Close("close-after");
    }
}

std::string Channel::Label() const { return "channel=" + std::to_string(number_); }

CommandResult Channel::NoClient() const
{
    return CommandResult::Failure("channel " + std::to_string(number_) + " has no open connection");
}

CommandResult Channel::CheckListening() const
{
    if (port_.Refusing()) {
        return CommandResult::Failure("channel " + std::to_string(number_) + " refuses connections");
    }
    return CommandResult::Success();
}

}  // namespace zelmodsim
