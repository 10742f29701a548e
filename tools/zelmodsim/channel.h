// The module's data channels: what a --channel argument asks for (port,
// mode, options) and the channel that serves it.
#pragma once

#include "command_result.h"
#include "event_log.h"
#include "served_port.h"

#include <host/common/event_loop.h>

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zelmodsim {

// What one --channel argument asks for: PORT:MODE[,OPTION...].
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

// One data channel of the module: what it does with the bytes a client sends
// (echo, sink, source), its byte limit, and its counters.
class Channel {
public:
    // number is 1-based; setup's source bytes must be loaded already.
    Channel(zel::EventLoop& loop, EventLog& log, int number, ChannelSetup setup,
            const in_addr& address);

    std::uint16_t Port() const { return port_.Port(); }
    // Bytes taken from all connections so far (beyond a limit they are not).
    std::uint64_t Received() const { return received_; }

    CommandResult Send(std::string_view bytes);
    CommandResult Close();
    CommandResult Reset();
    CommandResult Accept();
    CommandResult Hold();

private:
    void OnConnected();
    void OnReceived(std::string_view bytes);
    void EndAtLimit();
    std::string Label() const;
    CommandResult NoClient() const;
    CommandResult CheckListening() const;

    EventLog& log_;
    int number_;
    ChannelSetup setup_;
    std::uint64_t received_ = 0;
    std::uint64_t connectionReceived_ = 0;
    ServedPort port_;  // last: its handlers use the members above
};

}  // namespace zelmodsim
