// One data channel of the module: what it does with the bytes a client sends
// (echo, sink, source), its byte limit, and its counters.
#pragma once

#include "channel_setup.h"
#include "command_result.h"
#include "event_log.h"
#include "served_port.h"

#include <host/common/event_loop.h>

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace zelmodsim {

class Channel {
public:
    // number is 1-based; setup's source bytes must be loaded already.
    Channel(zel::EventLoop& loop, EventLog& log, int number, ChannelSetup setup, const in_addr& address);

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
