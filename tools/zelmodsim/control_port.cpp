#include "control_port.h"

#include "text_escape.h"

#include <host/common/errors.h>
#include <host/common/numbers.h>

#include <sys/epoll.h>
#include <sys/timerfd.h>

#include <cstdint>

namespace zelmodsim {
namespace {

constexpr std::string_view kLatePrefix = "late=";
constexpr std::uint64_t kMaxLateMs = 600'000;  // ten minutes: longer is a typo, not a test

}  // namespace

ReplyMode ParseReplyMode(std::string_view text)
{
    if (text == "answer") {
        return {ReplyMode::Kind::Answer, {}};
    }
    if (text == "silent") {
        return {ReplyMode::Kind::Silent, {}};
    }
    if (text.substr(0, kLatePrefix.size()) == kLatePrefix) {
        const auto ms =
            zel::ParseDecimal(text.substr(kLatePrefix.size()), 0, kMaxLateMs, "late delay (ms)");
        return {ReplyMode::Kind::Late, std::chrono::milliseconds(ms)};
    }
    throw zel::ParseError("reply mode must be answer, silent or late=MS, not '" +
                          std::string(text) + "'");
}

std::string DescribeReplyMode(const ReplyMode& mode)
{
    switch (mode.Type) {
    case ReplyMode::Kind::Answer:
        return "answer";
    case ReplyMode::Kind::Silent:
        return "silent";
    case ReplyMode::Kind::Late:
        return std::string(kLatePrefix) + std::to_string(mode.Delay.count());
    }
    return "?";
}

namespace {

constexpr char kLevelOn = '1';
constexpr char kLevelOff = '0';
constexpr char kCtsSeparator = ' ';
constexpr char kStatusFiller = '0';
constexpr std::size_t kStatusChannelAt = 5;
constexpr std::size_t kStatusLevelAt = 7;

std::string StatusRecord(char channel, char level)
{
    std::string record = "29";
    record.resize(kStatusRecordSize, kStatusFiller);
    record[kStatusChannelAt] = channel;
    record[kStatusLevelAt] = level;
    return record;
}

}  // namespace

std::string CtsReport(char channel, char level)
{
    return std::string("CTS") + channel + kCtsSeparator + level;
}

std::string StatusRecords(char channel, char level, std::size_t count)
{
    const char opposite = level == kLevelOn ? kLevelOff : kLevelOn;
    std::string records;
    for (std::size_t i = 1; i < count; ++i) {
        records += StatusRecord(channel, opposite);
    }
    return records + StatusRecord(channel, level);
}

namespace {

constexpr std::chrono::nanoseconds kSoonest{1};  // an all-zero time would disarm

itimerspec OneShot(std::chrono::nanoseconds delay)
{
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(delay);
    itimerspec setting{};
    setting.it_value.tv_sec = static_cast<time_t>(seconds.count());
    setting.it_value.tv_nsec = static_cast<long>((delay - seconds).count());
    return setting;
}

}  // namespace

Timer::Timer(zel::EventLoop& loop, std::function<void()> onExpiry)
    : fd_(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)),
      onExpiry_(std::move(onExpiry))
{
    if (!fd_.Valid()) {
        throw zel::ErrnoError("timerfd_create");
    }
    watch_ =
        zel::EventLoop::Watch(loop, fd_.Get(), EPOLLIN, [this](std::uint32_t) { OnReadable(); });
}

void Timer::ArmAfter(std::chrono::nanoseconds delay)
{
    const itimerspec setting = OneShot(delay < kSoonest ? kSoonest : delay);
    if (timerfd_settime(fd_.Get(), 0, &setting, nullptr) != 0) {
        throw zel::ErrnoError("timerfd_settime");
    }
}

void Timer::Disarm()
{
    const itimerspec off{};
    timerfd_settime(fd_.Get(), 0, &off, nullptr);
}

void Timer::OnReadable()
{
    std::uint64_t expirations = 0;
    if (read(fd_.Get(), &expirations, sizeof expirations) != sizeof expirations) {
        return;  // disarmed or re-armed since it fired
    }
    onExpiry_();
}

namespace {

constexpr int kControlBacklog = 8;
// A driver receives at most this much at once; a bigger read is no one frame.
constexpr std::size_t kControlReadChunk = 2048;
constexpr const char kLabel[] = "control";

}  // namespace

ControlPort::ControlPort(zel::EventLoop& loop, EventLog& log, zel::UniqueFd bound,
                         std::string replyText, ReplyMode mode)
    : log_(log),
      replyText_(std::move(replyText)),
      mode_(mode),
      lateTimer_(loop, [this] { OnLateTimer(); }),
      port_(loop, log, std::move(bound),
            ServedPort::Settings{kLabel, ServedPort::Listening::Accept, kControlBacklog,
                                 kControlReadChunk},
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

CommandResult ControlPort::Close()
{
    return port_.Close("close-control") ? CommandResult::Success() : NoClient();
}

CommandResult ControlPort::Reset()
{
    return port_.Reset("reset-control") ? CommandResult::Success() : NoClient();
}

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

void ControlPort::ArmForFirstLateReply()
{
    lateTimer_.ArmAfter(lateReplies_.front() - Clock::now());
}

void ControlPort::SendReply()
{
    if (!replyText_.empty()) {
        Send(replyText_);
    }
}

CommandResult ControlPort::NoClient() const
{
    return CommandResult::Failure("no open control connection");
}

}  // namespace zelmodsim
