#include "simulator.h"

#include "control_port.h"
#include "served_port.h"

#include <host/common/errors.h>

#include <sys/epoll.h>
#include <unistd.h>

namespace zelmodsim {
namespace {

zel::UniqueFd FrameLogOf(const Options& options)
{
    return options.FrameLog ? OpenFrameLog(*options.FrameLog) : zel::UniqueFd();
}

std::string JoinNumbers(const std::vector<std::uint64_t>& numbers)
{
    std::string text;
    for (const auto number : numbers) {
        text += (text.empty() ? "" : ",") + std::to_string(number);
    }
    return text;
}

}  // namespace

Simulator::Simulator(Options options)
    : log_(STDOUT_FILENO, FrameLogOf(options)),
      signalWatch_(loop_, signals_.Fd(), EPOLLIN,
                   [this](std::uint32_t) {
                       if (signals_.Take() != 0)
                           loop_.Stop();
                   }),
      control_(loop_, log_, BindTcp(options.Address, options.ControlPort), options.ReplyText,
               options.Reply),
      stdin_(loop_, log_, [this](std::string_view line) { return Execute(line); })
{
    int number = 1;
    for (auto& setup : options.Channels) {
        LoadSource(setup);
        channels_.push_back(
            std::make_unique<Channel>(loop_, log_, number++, std::move(setup), options.Address));
    }
    if (options.CommandSocket) {
        commandServer_.emplace(loop_, *options.CommandSocket,
                               [this](std::string_view line) { return Execute(line); });
    }
}

void Simulator::Run()
{
    log_.Line(ReadyLine());
    loop_.Run();
}

CommandResult Simulator::Execute(std::string_view line)
{
    if (!loop_.Running()) {
        return CommandResult::Failure("stopping");  // lines read together with quit
    }
    try {
        const Command command = ParseCommand(line);
        return std::visit([this](const auto& parsed) { return Apply(parsed); }, command);
    } catch (const zel::ParseError& error) {
        return CommandResult::Failure(error.what());
    }
}

CommandResult Simulator::Apply(const command::Cts& command)
{
    return control_.Send(CtsReport(command.Channel, command.Level));
}

CommandResult Simulator::Apply(const command::Status& command)
{
    return control_.Send(StatusRecords(command.Channel, command.Level, command.Count));
}

CommandResult Simulator::Apply(const command::SendControl& command)
{
    return control_.Send(command.Bytes);
}

CommandResult Simulator::Apply(const command::Send& command)
{
    return OnChannel(command.Channel,
                     [&](Channel& channel) { return channel.Send(command.Bytes); });
}

CommandResult Simulator::Apply(const command::Close& command)
{
    return OnChannel(command.Channel, [](Channel& channel) { return channel.Close(); });
}

CommandResult Simulator::Apply(const command::Reset& command)
{
    return OnChannel(command.Channel, [](Channel& channel) { return channel.Reset(); });
}

CommandResult Simulator::Apply(const command::CloseControl&)
{
    return control_.Close();
}

CommandResult Simulator::Apply(const command::ResetControl&)
{
    return control_.Reset();
}

CommandResult Simulator::Apply(const command::Accept& command)
{
    return OnChannel(command.Channel, [](Channel& channel) { return channel.Accept(); });
}

CommandResult Simulator::Apply(const command::Hold& command)
{
    return OnChannel(command.Channel, [](Channel& channel) { return channel.Hold(); });
}

CommandResult Simulator::Apply(const command::Reply& command)
{
    control_.SetReplyMode(command.Mode);
    return CommandResult::Success("reply " + DescribeReplyMode(command.Mode));
}

CommandResult Simulator::Apply(const command::Stats&)
{
    std::vector<std::uint64_t> received;
    for (const auto& channel : channels_) {
        received.push_back(channel->Received());
    }
    return CommandResult::Success("stats frames=" + std::to_string(control_.Frames()) +
                                  " received=" + JoinNumbers(received));
}

CommandResult Simulator::Apply(const command::Quit&)
{
    loop_.Stop();
    return CommandResult::Success();
}

Channel* Simulator::Find(int number)
{
    const bool exists = number >= 1 && static_cast<std::size_t>(number) <= channels_.size();
    return exists ? channels_[static_cast<std::size_t>(number - 1)].get() : nullptr;
}

template <typename Action>
CommandResult Simulator::OnChannel(int number, Action action)
{
    Channel* channel = Find(number);
    if (channel == nullptr) {
        return CommandResult::Failure("there is no channel " + std::to_string(number));
    }
    return action(*channel);
}

std::string Simulator::ReadyLine() const
{
    std::vector<std::uint64_t> ports;
    for (const auto& channel : channels_) {
        ports.push_back(channel->Port());
    }
    return "READY control=" + std::to_string(control_.Port()) + " channels=" + JoinNumbers(ports);
}

}  // namespace zelmodsim
