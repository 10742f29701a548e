#include "commands.h"

#include "channel.h"
#include "control_port.h"
#include "served_port.h"
#include "text_escape.h"

#include <host/common/errors.h>
#include <host/common/numbers.h>

#include <sys/epoll.h>
#include <sys/stat.h>
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

command::OnControl SendOnControl(std::string bytes)
{
    return {[bytes = std::move(bytes)](ControlPort& control) { return control.Send(bytes); }};
}

// Report fields are digits sent as they are, so tests can also send channels
// the driver must ignore.
Command ParseCts(std::string_view args, std::string_view usage)
{
    const auto words = Words(args, 2, 2, usage);
    const char channel = Digit(words[0], "channel");
    return SendOnControl(CtsReport(channel, Digit(words[1], "level")));
}

Command ParseStatus(std::string_view args, std::string_view usage)
{
    const auto words = Words(args, 2, 3, usage);
    const std::size_t count = words.size() == 3
                                  ? zel::ParseDecimal(words[2], 1, kMaxStatusRecords, "count")
                                  : kDefaultStatusCount;
    const char channel = Digit(words[0], "channel");
    return SendOnControl(StatusRecords(channel, Digit(words[1], "level"), count));
}

Command ParseSendControl(std::string_view args, std::string_view usage)
{
    return SendOnControl(Text(args, usage));
}

Command ParseSend(std::string_view args, std::string_view usage)
{
    const auto [channel, text] = SplitWord(args);
    const int number = ChannelNumber(channel);
    return command::OnChannel{
        number, [bytes = Text(text, usage)](Channel& target) { return target.Send(bytes); }};
}

// close, reset, accept and hold: the action on the channel, given CHANNEL only.
template <CommandResult (Channel::*Action)()>
Command ParseChannelAction(std::string_view args, std::string_view usage)
{
    const int number = ChannelNumber(Words(args, 1, 1, usage)[0]);
    return command::OnChannel{number, [](Channel& channel) { return (channel.*Action)(); }};
}

// close-control and reset-control: the action on the control connection.
template <CommandResult (ControlPort::*Action)()>
Command ParseControlAction(std::string_view args, std::string_view usage)
{
    Words(args, 0, 0, usage);
    return command::OnControl{[](ControlPort& control) { return (control.*Action)(); }};
}

Command ParseReply(std::string_view args, std::string_view usage)
{
    const ReplyMode mode = ParseReplyMode(Words(args, 1, 1, usage)[0]);
    return command::OnControl{[mode](ControlPort& control) {
        control.SetReplyMode(mode);
        return CommandResult::Success("reply " + DescribeReplyMode(mode));
    }};
}

template <typename BareCommand>
Command ParseBare(std::string_view args, std::string_view usage)
{
    Words(args, 0, 0, usage);
    return BareCommand{};
}

struct CommandParser {
    std::string_view Name;
    std::string_view Usage;  // the whole command line, for the error of a bad one
    Command (*Parse)(std::string_view args, std::string_view usage);
};

constexpr CommandParser kParsers[] = {
    {"cts", "cts CHANNEL LEVEL", ParseCts},
    {"status", "status CHANNEL LEVEL [COUNT]", ParseStatus},
    {"send-control", "send-control TEXT", ParseSendControl},
    {"send", "send CHANNEL TEXT", ParseSend},
    {"close", "close CHANNEL", ParseChannelAction<&Channel::Close>},
    {"reset", "reset CHANNEL", ParseChannelAction<&Channel::Reset>},
    {"accept", "accept CHANNEL", ParseChannelAction<&Channel::Accept>},
    {"hold", "hold CHANNEL", ParseChannelAction<&Channel::Hold>},
    {"close-control", "close-control", ParseControlAction<&ControlPort::Close>},
    {"reset-control", "reset-control", ParseControlAction<&ControlPort::Reset>},
    {"reply", "reply answer|silent|late=MS", ParseReply},
    {"stats", "stats", ParseBare<command::Stats>},
    {"quit", "quit", ParseBare<command::Quit>},
};

}  // namespace

Command ParseCommand(std::string_view line)
{
    const auto [word, args] = SplitWord(line);
    for (const auto& parser : kParsers) {
        if (parser.Name == word) {
            return parser.Parse(args, parser.Usage);
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
        // Only a file may have held commands someone meant us to read.
        if (error.code() != std::errc::operation_not_permitted) {
            throw;
        }
        struct stat input {};
        if (fstat(STDIN_FILENO, &input) == 0 && S_ISREG(input.st_mode) && input.st_size > 0) {
            std::fputs(
                "zelmodsim: standard input is a file: its commands are not read (give "
                "them on a pipe or the --command-socket)\n",
                stderr);
        }
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
