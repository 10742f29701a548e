#include "channel_setup.h"

#include "fd_io.h"
#include "text_escape.h"

#include <host/common/errors.h>
#include <host/common/numbers.h>

#include <limits>
#include <vector>

namespace zelmodsim {
namespace {

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
        parts.push_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
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
        throw zel::ParseError("channel mode must be echo, sink, source=FILE or source-text=TEXT, not '" +
                         std::string(mode) + "'");
    }
}

void SetLimit(ChannelSetup& setup, LimitAction action, std::string_view count, std::string_view what)
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
        throw zel::ParseError("channel must be PORT:MODE[,OPTION...], not '" + std::string(text) + "'");
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

}  // namespace zelmodsim
