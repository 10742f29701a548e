#include "control_port.h"

#include "text_escape.h"

namespace zelmodsim {
namespace {

constexpr int kControlBacklog = 8;
// A driver receives at most this much at once; a bigger read is no one frame.
constexpr std::size_t kControlReadChunk = 2048;
constexpr const char kLabel[] = "control";

}  // namespace

ControlPort::ControlPort(zel::EventLoop& loop, EventLog& log, zel::UniqueFd bound, std::string replyText, ReplyMode mode)
    : log_(log),
      replyText_(std::move(replyText)),
      mode_(mode),
      lateTimer_(loop, [this] { OnLateTimer(); }),
      port_(loop, log, std::move(bound),
            ServedPort::Settings{kLabel, ServedPort::Listening::Accept, kControlBacklog, kControlReadChunk},
            ServedPort::Handlers{[] {}, [this](std::string_view frame) { OnFrame(frame); },
                                 [this] { OnDisconnected(); }})
{
}

CommandResult ControlPort::Send(std::string_view bytes)
{
    if (!port_.Send(bytes)) {
        return NoClient();
    }
    log_.Line("SENT control " + EscapeForLog(bytes));
    return CommandResult::Success();
}

CommandResult ControlPort::Close() { return port_.Close("close-control") ? CommandResult::Success() : NoClient(); }

CommandResult ControlPort::Reset() { return port_.Reset("reset-control") ? CommandResult::Success() : NoClient(); }

void ControlPort::OnFrame(std::string_view frame)
{
    ++frames_;
    log_.Frame(frame);
    switch (mode_.Type) {
    case ReplyMode::Kind::Answer:
        SendReply();
        break;
    case ReplyMode::Kind::Silent:
        break;
    case ReplyMode::Kind::Late:
        lateReplies_.push_back(Clock::now() + mode_.Delay);
        if (lateReplies_.size() == 1) {
            ArmForFirstLateReply();
        }
        break;
    }
}

void ControlPort::OnDisconnected()
{
    // Late replies belong to the connection that asked.
    lateReplies_.clear();
    lateTimer_.Disarm();
}

void ControlPort::OnLateTimer()
{
    const auto now = Clock::now();
    while (!lateReplies_.empty() && lateReplies_.front() <= now) {
        lateReplies_.pop_front();
        SendReply();
    }
    if (!lateReplies_.empty()) {
        ArmForFirstLateReply();
    }
}

void ControlPort::ArmForFirstLateReply() { lateTimer_.ArmAfter(lateReplies_.front() - Clock::now()); }

void ControlPort::SendReply()
{
    if (!replyText_.empty()) {
        Send(replyText_);
    }
}

CommandResult ControlPort::NoClient() const { return CommandResult::Failure("no open control connection"); }

}  // namespace zelmodsim
