// The whole module: control port, channels, command inputs and the loop
// that drives them.
#pragma once

#include "channel.h"
#include "command_result.h"
#include "commands.h"
#include "control_port.h"
#include "event_log.h"
#include "options.h"

#include <host/common/event_loop.h>
#include <host/common/signal_watch.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelmodsim {

class Simulator {
public:
    // Binds every port; throws when a port or file cannot be used.
    explicit Simulator(Options options);

    // Prints the READY line, then serves until quit or a stop signal.
    void Run();

    CommandResult Execute(std::string_view line);

private:
    CommandResult Apply(const command::OnControl& command);
    CommandResult Apply(const command::OnChannel& command);
    CommandResult Apply(const command::Stats& command);
    CommandResult Apply(const command::Quit& command);

    std::string ReadyLine() const;

    zel::EventLoop loop_;
    EventLog log_;
    zel::SignalWatch signals_;
    zel::EventLoop::Watch signalWatch_;
    ControlPort control_;
    std::vector<std::unique_ptr<Channel>> channels_;
    std::optional<CommandServer> commandServer_;
    StdinCommands stdin_;
};

}  // namespace zelmodsim
