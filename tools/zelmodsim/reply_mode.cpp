#include "reply_mode.h"

#include <host/common/errors.h>
#include <host/common/numbers.h>

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
        const auto ms = zel::ParseDecimal(text.substr(kLatePrefix.size()), 0, kMaxLateMs, "late delay (ms)");
        return {ReplyMode::Kind::Late, std::chrono::milliseconds(ms)};
    }
    throw zel::ParseError("reply mode must be answer, silent or late=MS, not '" + std::string(text) + "'");
}

std::string DescribeReplyMode(const ReplyMode& mode)
{
    switch (mode.Type) {
    case ReplyMode::Kind::Answer: return "answer";
    case ReplyMode::Kind::Silent: return "silent";
    case ReplyMode::Kind::Late: return std::string(kLatePrefix) + std::to_string(mode.Delay.count());
    }
    return "?";
}

}  // namespace zelmodsim
