#include "command_server.h"

#include "sockets.h"

#include <sys/epoll.h>

#include <algorithm>
#include <array>

namespace zelmodsim {
namespace {

constexpr std::size_t kMaxCommandClients = 16;
constexpr std::size_t kReadBlock = 4096;

}  // namespace

CommandServer::CommandServer(zel::EventLoop& loop, std::string path, CommandExecutor execute)
    : loop_(loop),
      execute_(std::move(execute)),
      listener_(std::move(path)),
      listenWatch_(loop, listener_.Fd(), EPOLLIN, [this](std::uint32_t) { OnAccept(); })
{
}

void CommandServer::OnAccept()
{
    zel::UniqueFd accepted = listener_.Accept();
    if (!accepted.Valid() || clients_.size() == kMaxCommandClients) {
        return;  // over the limit the connection is closed at once
    }
    auto client = std::make_unique<Client>();
    Client* raw = client.get();
    client->Socket.emplace(loop_, std::move(accepted),
                           [this, raw](std::uint32_t events) { OnClientEvent(raw, events); });
    clients_.push_back(std::move(client));
}

void CommandServer::OnClientEvent(Client* client, std::uint32_t events)
{
    if ((events & EPOLLOUT) != 0 && !client->Socket->Flush()) {
        Remove(client);
        return;
    }
    if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) == 0) {
        return;
    }
    std::array<char, kReadBlock> block{};
    const auto result = client->Socket->Read(block.data(), block.size());
    if (result.Status == Connection::ReadStatus::End || result.Status == Connection::ReadStatus::Failed) {
        Remove(client);
        return;
    }
    bool failed = false;
    client->Lines.Feed(std::string_view(block.data(), result.Size), [&](std::string_view line, bool tooLong) {
        const CommandResult reply = tooLong ? CommandResult::Failure("command line too long") : execute_(line);
        failed = failed || !client->Socket->Write(reply.Text() + '\n');
    });
    if (failed) {
        Remove(client);
    }
}

void CommandServer::Remove(Client* client)
{
    clients_.erase(std::remove_if(clients_.begin(), clients_.end(),
                                  [client](const auto& owned) { return owned.get() == client; }),
                   clients_.end());
}

}  // namespace zelmodsim
