#include "channel.h"

#include "event_log.h"
#include "served_port.h"
#include "text_escape.h"

#include <host/common/errors.h>
#include <host/common/numbers.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <limits>
#include <vector>

namespace zelmodsim {
namespace {

constexpr std::size_t kFileBlock = 64 * 1024;

// The contents of a file of at most maxBytes; throws naming the path.
std::string ReadWholeFile(const std::string& path, std::size_t maxBytes)
{
    zel::UniqueFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.Valid()) {
        throw zel::ErrnoError("cannot open " + path);
    }
    std::string contents;
    std::array<char, kFileBlock> block{};
    for (;;) {
        const ssize_t got = read(file.Get(), block.data(), block.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            throw zel::ErrnoError("cannot read " + path);
        }
        if (got == 0) {
            return contents;
        }
        contents.append(block.data(), static_cast<std::size_t>(got));
        if (contents.size() > maxBytes) {
            throw zel::ParseError(path + " is larger than " + std::to_string(maxBytes) + " bytes");
        }
    }
}

constexpr char kPortSeparator = ':';
constexpr char kOptionSeparator = ',';
constexpr std::string_view kSourceFile = "source=";
constexpr std::string_view kSourceText = "source-text=";
constexpr std::string_view kCloseAfter = "close-after=";
constexpr std::string_view kResetAfter = "reset-after=";

bool StartsWith(std::string_view text, std::string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

std::vector<std::string_view> Split(std::string_view text, char separator)
{
    std::vector<std::string_view> parts;
    for (std::size_t start = 0;;) {
        const std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(
            start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos) {
            return parts;
        }
        start = end + 1;
    }
}

void ApplyMode(ChannelSetup& setup, std::string_view mode)
{
    if (mode == "echo") {
        setup.Mode = ChannelMode::Echo;
    } else if (mode == "sink") {
        setup.Mode = ChannelMode::Sink;
    } else if (StartsWith(mode, kSourceFile) && mode.size() > kSourceFile.size()) {
        setup.Mode = ChannelMode::Source;
        setup.SourceFile = std::string(mode.substr(kSourceFile.size()));
    } else if (StartsWith(mode, kSourceText)) {
        setup.Mode = ChannelMode::Source;
        setup.SourceBytes = DecodeEscapes(mode.substr(kSourceText.size()));
    } else {
        throw zel::ParseError(
            "channel mode must be echo, sink, source=FILE or source-text=TEXT, not '" +
            std::string(mode) + "'");
    }
}

void SetLimit(ChannelSetup& setup, LimitAction action, std::string_view count,
              std::string_view what)
{
    if (setup.Limit != LimitAction::None) {
        throw zel::ParseError("close-after and reset-after exclude each other");
    }
    setup.Limit = action;
    setup.LimitBytes = zel::ParseDecimal(count, 1, std::numeric_limits<std::uint64_t>::max(), what);
}

void ApplyOption(ChannelSetup& setup, std::string_view option)
{
    if (option == "refuse") {
        setup.Refuse = true;
    } else if (option == "accept-delay") {
        setup.AcceptDelay = true;
    } else if (StartsWith(option, kCloseAfter)) {
        SetLimit(setup, LimitAction::Close, option.substr(kCloseAfter.size()), "close-after");
    } else if (StartsWith(option, kResetAfter)) {
        SetLimit(setup, LimitAction::Reset, option.substr(kResetAfter.size()), "reset-after");
    } else {
        throw zel::ParseError("unknown channel option '" + std::string(option) + "'");
    }
}

}  // namespace

ChannelSetup ParseChannelSetup(std::string_view text)
{
    const std::size_t colon = text.find(kPortSeparator);
    if (colon == std::string_view::npos) {
        throw zel::ParseError("channel must be PORT:MODE[,OPTION...], not '" + std::string(text) +
                              "'");
    }
    ChannelSetup setup;
    setup.Port = zel::ParsePort(text.substr(0, colon));
    const auto parts = Split(text.substr(colon + 1), kOptionSeparator);
    ApplyMode(setup, parts.front());
    for (std::size_t i = 1; i < parts.size(); ++i) {
        ApplyOption(setup, parts[i]);
    }
    if (setup.Refuse && setup.AcceptDelay) {
        throw zel::ParseError("refuse and accept-delay exclude each other");
    }
    return setup;
}

void LoadSource(ChannelSetup& setup)
{
    if (setup.SourceFile) {
        setup.SourceBytes = ReadWholeFile(*setup.SourceFile, kMaxSourceBytes);
    }
}

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

Channel::Channel(zel::EventLoop& loop, EventLog& log, int number, ChannelSetup setup,
                 const in_addr& address)
    : log_(log),
      number_(number),
      setup_(std::move(setup)),
      port_(loop, log, BindTcp(address, setup_.Port),
            ServedPort::Settings{Label(), InitialListening(setup_), kChannelBacklog,
                                 kChannelReadChunk},
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

CommandResult Channel::Close()
{
    return port_.Close("close") ? CommandResult::Success() : NoClient();
}

CommandResult Channel::Reset()
{
    return port_.Reset("reset") ? CommandResult::Success() : NoClient();
}

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
        bytes = bytes.substr(0, static_cast<std::size_t>(std::min<std::uint64_t>(
                                    bytes.size(), setup_.LimitBytes - connectionReceived_)));
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

std::string Channel::Label() const
{
    return "channel=" + std::to_string(number_);
}

CommandResult Channel::NoClient() const
{
    return CommandResult::Failure("channel " + std::to_string(number_) + " has no open connection");
}

CommandResult Channel::CheckListening() const
{
    if (port_.Refusing()) {
        return CommandResult::Failure("channel " + std::to_string(number_) +
                                      " refuses connections");
    }
    return CommandResult::Success();
}

}  // namespace zelmodsim
