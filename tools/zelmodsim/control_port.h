// The module's control port: logs every frame it receives and answers it
// according to the reply mode; reports and raw text go out on request.
// Frames have no terminator, so each read is taken as one frame: the driver
// sends one frame and waits for the reply before it sends the next.
#pragma once

#include "command_result.h"
#include "event_log.h"
#include "reply_mode.h"
#include "served_port.h"
#include "timer.h"

#include <host/common/event_loop.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

namespace zelmodsim {

class ControlPort {
public:
    ControlPort(zel::EventLoop& loop, EventLog& log, zel::UniqueFd bound, std::string replyText, ReplyMode mode);

    std::uint16_t Port() const { return port_.Port(); }
    std::uint64_t Frames() const { return frames_; }

    CommandResult Send(std::string_view bytes);
    CommandResult Close();
    CommandResult Reset();
    // Replies already waiting keep their time.
    void SetReplyMode(const ReplyMode& mode) { mode_ = mode; }

private:
    using Clock = std::chrono::steady_clock;

    void OnFrame(std::string_view frame);
    void OnDisconnected();
    void OnLateTimer();
    void ArmForFirstLateReply();
    void SendReply();
    CommandResult NoClient() const;

    EventLog& log_;
    std::string replyText_;
    ReplyMode mode_;
    std::uint64_t frames_ = 0;
    // Due times of late replies, in frame order; they go out in that order.
    std::deque<Clock::time_point> lateReplies_;
    Timer lateTimer_;
    ServedPort port_;  // last: its handlers use the members above
};

}  // namespace zelmodsim
