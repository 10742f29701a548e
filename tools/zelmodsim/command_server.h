// Commands on a Unix stream socket: the same lines as on standard input, and
// each result line is the reply. Several clients may be connected.
#pragma once

#include "command_result.h"
#include "connection.h"
#include "line_buffer.h"

#include <host/common/event_loop.h>
#include <host/common/unix_listener.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zelmodsim {

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
