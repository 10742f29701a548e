// The module's control port: the frames it receives, how it answers them
// (reply modes), and the reports it sends by itself.
#pragma once

#include "command_result.h"
#include "event_log.h"
#include "served_port.h"

#include <host/common/event_loop.h>
#include <host/common/unique_fd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

namespace zelmodsim {

// How the control port answers frames: at once, never, or after a delay.
struct ReplyMode {
    enum class Kind { Answer, Silent, Late };
    Kind Type = Kind::Answer;
    std::chrono::milliseconds Delay{0};  // Late only
};

// "answer", "silent" or "late=MS"; throws zel::ParseError.
ReplyMode ParseReplyMode(std::string_view text);

// The same spelling back, for log lines.
std::string DescribeReplyMode(const ReplyMode& mode);

// The reports a module sends on its control connection by itself.
constexpr std::size_t kCtsReportSize = 6;
constexpr std::size_t kStatusRecordSize = 9;
// What fits in one 2048-byte receive at the driver.
constexpr std::size_t kMaxStatusRecords = 227;

// "CTS" + channel digit + ' ' + level digit.
std::string CtsReport(char channel, char level);

// count records "29000<channel>0<level>0", one after the other. Every record
// but the last carries the opposite level, so a reader that acts on anything
// but the last record shows it.
std::string StatusRecords(char channel, char level, std::size_t count);

// A one-shot timer in the event loop (timerfd on the monotonic clock).
class Timer {
public:
    Timer(zel::EventLoop& loop, std::function<void()> onExpiry);

    // Replaces any earlier arming. A delay of zero or less fires at once.
    void ArmAfter(std::chrono::nanoseconds delay);
    void Disarm();

private:
    void OnReadable();

    zel::UniqueFd fd_;
    std::function<void()> onExpiry_;
    zel::EventLoop::Watch watch_;
};

// The module's control port: logs every frame it receives and answers it
// according to the reply mode; reports and raw text go out on request.
// Frames have no terminator, so each read is taken as one frame: the driver
// sends one frame and waits for the reply before it sends the next.
class ControlPort {
public:
    ControlPort(zel::EventLoop& loop, EventLog& log, zel::UniqueFd bound, std::string replyText,
                ReplyMode mode);

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
