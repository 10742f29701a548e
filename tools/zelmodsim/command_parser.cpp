#include "command.h"

#include "channel_setup.h"
#include "reports.h"
#include "text_escape.h"

#include <host/common/errors.h>
#include <host/common/numbers.h>

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
        throw zel::ParseError(std::string(what) + " must be one digit 0-9, not '" + std::string(text) + "'");
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
    const std::size_t count =
        words.size() == 3 ? zel::ParseDecimal(words[2], 1, kMaxStatusRecords, "count") : kDefaultStatusCount;
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
    {"close", [](std::string_view a) { return ParseChannelCommand<command::Close>(a, "close CHANNEL"); }},
    {"reset", [](std::string_view a) { return ParseChannelCommand<command::Reset>(a, "reset CHANNEL"); }},
    {"accept", [](std::string_view a) { return ParseChannelCommand<command::Accept>(a, "accept CHANNEL"); }},
    {"hold", [](std::string_view a) { return ParseChannelCommand<command::Hold>(a, "hold CHANNEL"); }},
    {"close-control", [](std::string_view a) { return ParseBare<command::CloseControl>(a, "close-control"); }},
    {"reset-control", [](std::string_view a) { return ParseBare<command::ResetControl>(a, "reset-control"); }},
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
    throw zel::ParseError(word.empty() ? std::string("empty command") : "unknown command '" + std::string(word) + "'");
}

}  // namespace zelmodsim
