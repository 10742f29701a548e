#include "commands.h"

#include "channel.h"
#include "control_port.h"
#include "served_port.h"
#include "text_escape.h"

#include <host/common/errors.h>
#include <host/common/numbers.h>

#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <system_error>
#include <vector>

namespace zelmodsim {
namespace {

constexpr char kSpace = ' ';
constexpr std::size_t kDefaultStatusCount = 1;

// The first word of text, and text after it (without the one space between).
std::pair<std::string_view, std::string_view> SplitWord(std::string_view text)
{
    const std::size_t space = text.find(kSpace);
    if (space == std::string_view::npos) {
        return {text, {}};
    }
    return {text.substr(0, space), text.substr(space + 1)};
}

// Space-separated words; exactly min..max of them or zel::ParseError.
std::vector<std::string_view> Words(std::string_view text, std::size_t min, std::size_t max,
                                    std::string_view usage)
{
    std::vector<std::string_view> words;
    while (!text.empty()) {
        auto [word, rest] = SplitWord(text);
        if (!word.empty()) {
            words.push_back(word);
        }
        text = rest;
    }
    if (words.size() < min || words.size() > max) {
        throw zel::ParseError("usage: " + std::string(usage));
    }
    return words;
}

char Digit(std::string_view text, std::string_view what)
{
    if (text.size() != 1 || text[0] < '0' || text[0] > '9') {
        throw zel::ParseError(std::string(what) + " must be one digit 0-9, not '" +
                              std::string(text) + "'");
    }
    return text[0];
}

int ChannelNumber(std::string_view text)
{
    return static_cast<int>(zel::ParseDecimal(text, 1, kMaxChannels, "channel"));
}

std::string Text(std::string_view text, std::string_view usage)
{
    if (text.empty()) {
        throw zel::ParseError("usage: " + std::string(usage));
    }
    return DecodeEscapes(text);
}

Command ParseCts(std::string_view args)
{
    const auto words = Words(args, 2, 2, "cts CHANNEL LEVEL");
    return command::Cts{Digit(words[0], "channel"), Digit(words[1], "level")};
}

Command ParseStatus(std::string_view args)
{
    const auto words = Words(args, 2, 3, "status CHANNEL LEVEL [COUNT]");
    const std::size_t count = words.size() == 3
                                  ? zel::ParseDecimal(words[2], 1, kMaxStatusRecords, "count")
                                  : kDefaultStatusCount;
    return command::Status{Digit(words[0], "channel"), Digit(words[1], "level"), count};
}

Command ParseSend(std::string_view args)
{
    constexpr std::string_view kUsage = "send CHANNEL TEXT";
    const auto [channel, text] = SplitWord(args);
    return command::Send{ChannelNumber(channel), Text(text, kUsage)};
}

template <typename ChannelCommand>
Command ParseChannelCommand(std::string_view args, std::string_view usage)
{
    return ChannelCommand{ChannelNumber(Words(args, 1, 1, usage)[0])};
}

template <typename BareCommand>
Command ParseBare(std::string_view args, std::string_view usage)
{
    Words(args, 0, 0, usage);
    return BareCommand{};
}

Command ParseSendControl(std::string_view args)
{
    return command::SendControl{Text(args, "send-control TEXT")};
}

Command ParseReply(std::string_view args)
{
    return command::Reply{ParseReplyMode(Words(args, 1, 1, "reply answer|silent|late=MS")[0])};
}

struct CommandParser {
    std::string_view Name;
    Command (*Parse)(std::string_view args);
};

constexpr CommandParser kParsers[] = {
    {"cts", ParseCts},
    {"status", ParseStatus},
    {"send-control", ParseSendControl},
    {"send", ParseSend},
    {"close",
     [](std::string_view a) { return ParseChannelCommand<command::Close>(a, "close CHANNEL"); }},
    {"reset",
     [](std::string_view a) { return ParseChannelCommand<command::Reset>(a, "reset CHANNEL"); }},
    {"accept",
     [](std::string_view a) { return ParseChannelCommand<command::Accept>(a, "accept CHANNEL"); }},
    {"hold",
     [](std::string_view a) { return ParseChannelCommand<command::Hold>(a, "hold CHANNEL"); }},
    {"close-control",
     [](std::string_view a) { return ParseBare<command::CloseControl>(a, "close-control"); }},
    {"reset-control",
     [](std::string_view a) { return ParseBare<command::ResetControl>(a, "reset-control"); }},
    {"reply", ParseReply},
    {"stats", [](std::string_view a) { return ParseBare<command::Stats>(a, "stats"); }},
    {"quit", [](std::string_view a) { return ParseBare<command::Quit>(a, "quit"); }},
};

}  // namespace

Command ParseCommand(std::string_view line)
{
    const auto [word, args] = SplitWord(line);
    for (const auto& parser : kParsers) {
        if (parser.Name == word) {
            return parser.Parse(args);
        }
    }
    throw zel::ParseError(word.empty() ? std::string("empty command")
                                       : "unknown command '" + std::string(word) + "'");
}

namespace {

constexpr char kLineFeed = '\n';
constexpr char kCarriageReturn = '\r';

}  // namespace

void LineBuffer::Feed(std::string_view bytes, const LineHandler& onLine)
{
    for (const char byte : bytes) {
        if (byte == kLineFeed) {
            Emit(onLine);
        } else if (partial_.size() < maxLine_) {
            partial_ += byte;
        } else {
            tooLong_ = true;
        }
    }
}

void LineBuffer::Finish(const LineHandler& onLine)
{
    if (!partial_.empty() || tooLong_) {
        Emit(onLine);
    }
}

void LineBuffer::Emit(const LineHandler& onLine)
{
    if (!partial_.empty() && partial_.back() == kCarriageReturn) {
        partial_.pop_back();
    }
    const std::string line = std::move(partial_);
    const bool tooLong = tooLong_;
    partial_.clear();
    tooLong_ = false;
    onLine(line, tooLong);
}

namespace {

constexpr std::size_t kReadBlock = 4096;

}  // namespace

StdinCommands::StdinCommands(zel::EventLoop& loop, EventLog& log, CommandExecutor execute)
    : log_(log), execute_(std::move(execute)), lines_(kMaxCommandLine)
{
    try {
        watch_ = zel::EventLoop::Watch(loop, STDIN_FILENO, EPOLLIN,
                                       [this](std::uint32_t) { OnReadable(); });
    } catch (const std::system_error& error) {
        // A regular file or /dev/null cannot be watched; run without it.
        if (error.code() != std::errc::operation_not_permitted) {
            throw;
        }
        std::fputs("zelmodsim: standard input cannot be watched (a file?); it is not read\n",
                   stderr);
    }
}

void StdinCommands::OnReadable()
{
    // No O_NONBLOCK: the descriptor may be shared with a shell, and epoll
    // said there is something to read.
    std::array<char, kReadBlock> block{};
    const ssize_t got = read(STDIN_FILENO, block.data(), block.size());
    const auto onLine = [this](std::string_view line, bool tooLong) { OnLine(line, tooLong); };
    if (got > 0) {
        lines_.Feed(std::string_view(block.data(), static_cast<std::size_t>(got)), onLine);
    } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
        lines_.Finish(onLine);
        watch_ = zel::EventLoop::Watch();
    }
}

void StdinCommands::OnLine(std::string_view line, bool tooLong)
{
    const CommandResult result =
        tooLong ? CommandResult::Failure("command line too long") : execute_(line);
    log_.Line(result.Text());
}

namespace {

constexpr std::size_t kMaxCommandClients = 16;

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
    if (result.Status == Connection::ReadStatus::End ||
        result.Status == Connection::ReadStatus::Failed) {
        Remove(client);
        return;
    }
    bool failed = false;
    client->Lines.Feed(
        std::string_view(block.data(), result.Size), [&](std::string_view line, bool tooLong) {
            const CommandResult reply =
                tooLong ? CommandResult::Failure("command line too long") : execute_(line);
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
