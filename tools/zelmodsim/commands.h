// The commands a test or a person gives the simulator: the command language,
// and the two ways in (standard input and the command socket).
#pragma once

#include "command_result.h"
#include "control_port.h"
#include "event_log.h"
#include "served_port.h"

#include <host/common/event_loop.h>
#include <host/common/unix_listener.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace zelmodsim {

class Channel;

// The commands taken on standard input and the command socket, each parsed
// into what it does.
namespace command {

// On the control connection: a report or text sent, a close or reset, or a
// new reply mode.
struct OnControl {
    std::function<CommandResult(ControlPort& control)> Run;
};
// On a channel, by its 1-based number.
struct OnChannel {
    int Number;
    std::function<CommandResult(Channel& channel)> Run;
};
struct Stats {};
struct Quit {};

}  // namespace command

using Command = std::variant<command::OnControl, command::OnChannel, command::Stats, command::Quit>;

// Throws zel::ParseError. Channel numbers are checked against 1..8 only; whether
// the channel exists is the executor's business.
Command ParseCommand(std::string_view line);

// Splits a byte stream into command lines. A line ends at LF; a CR before it
// is dropped. A line longer than the limit is cut there and flagged.
class LineBuffer {
public:
    using LineHandler = std::function<void(std::string_view line, bool tooLong)>;

    explicit LineBuffer(std::size_t maxLine) : maxLine_(maxLine) {}

    // Calls onLine for every line the bytes complete.
    void Feed(std::string_view bytes, const LineHandler& onLine);
    // At end of input: an unterminated last line still counts.
    void Finish(const LineHandler& onLine);

private:
    void Emit(const LineHandler& onLine);

    std::size_t maxLine_;
    std::string partial_;
    bool tooLong_ = false;
};

// Commands from standard input, one per line; each result is one line of
// output. End of input only stops the reading.
class StdinCommands {
public:
    StdinCommands(zel::EventLoop& loop, EventLog& log, CommandExecutor execute);

private:
    void OnReadable();
    void OnLine(std::string_view line, bool tooLong);

    EventLog& log_;
    CommandExecutor execute_;
    LineBuffer lines_;
    zel::EventLoop::Watch watch_;  // stdin is not ours to close, only to watch
};

// Commands on a Unix stream socket: the same lines as on standard input, and
// each result line is the reply. Several clients may be connected.
class CommandServer {
public:
    CommandServer(zel::EventLoop& loop, std::string path, CommandExecutor execute);

private:
    struct Client {
        LineBuffer Lines{kMaxCommandLine};
        std::optional<Connection> Socket;
    };

    void OnAccept();
    void OnClientEvent(Client* client, std::uint32_t events);
    void Remove(Client* client);

    zel::EventLoop& loop_;
    CommandExecutor execute_;
    zel::UnixListener listener_;
    zel::EventLoop::Watch listenWatch_;
    std::vector<std::unique_ptr<Client>> clients_;
};

}  // namespace zelmodsim
