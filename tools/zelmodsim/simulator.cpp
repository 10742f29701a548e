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

CommandResult Simulator::Apply(const command::OnControl& command)
{
    return command.Run(control_);
}

CommandResult Simulator::Apply(const command::OnChannel& command)
{
    const bool exists =
        command.Number >= 1 && static_cast<std::size_t>(command.Number) <= channels_.size();
    if (!exists) {
        return CommandResult::Failure("there is no channel " + std::to_string(command.Number));
    }
    return command.Run(*channels_[static_cast<std::size_t>(command.Number - 1)]);
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

std::string Simulator::ReadyLine() const
{
    std::vector<std::uint64_t> ports;
    for (const auto& channel : channels_) {
        ports.push_back(channel->Port());
    }
    return "READY control=" + std::to_string(control_.Port()) + " channels=" + JoinNumbers(ports);
}

}  // namespace zelmodsim
