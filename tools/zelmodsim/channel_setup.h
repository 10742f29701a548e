// What one --channel argument asks for: PORT:MODE[,OPTION...].
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zelmodsim {

constexpr std::size_t kMaxChannels = 8;  // a module has at most eight channels

enum class ChannelMode { Echo, Sink, Source };

// What happens to a connection once it has delivered LimitBytes.
enum class LimitAction { None, Close, Reset };

struct ChannelSetup {
    std::uint16_t Port = 0;
    ChannelMode Mode = ChannelMode::Echo;
    std::optional<std::string> SourceFile;  // source=FILE, read by LoadSource
    std::string SourceBytes;                // what a Source channel sends on connect
    bool Refuse = false;
    bool AcceptDelay = false;
    LimitAction Limit = LimitAction::None;
    std::uint64_t LimitBytes = 0;
};

// Throws zel::ParseError. source-text=TEXT takes C escapes; a comma in it must be
// written \x2c because commas separate the options.
ChannelSetup ParseChannelSetup(std::string_view text);

// Reads SourceFile into SourceBytes; throws when it cannot.
void LoadSource(ChannelSetup& setup);

// The largest file a source channel will send.
constexpr std::size_t kMaxSourceBytes = 16 * 1024 * 1024;

}  // namespace zelmodsim
