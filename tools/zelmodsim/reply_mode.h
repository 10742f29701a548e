// How the control port answers frames: at once, never, or after a delay.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace zelmodsim {

struct ReplyMode {
    enum class Kind { Answer, Silent, Late };
    Kind Type = Kind::Answer;
    std::chrono::milliseconds Delay{0};  // Late only
};

// "answer", "silent" or "late=MS"; throws zel::ParseError.
ReplyMode ParseReplyMode(std::string_view text);

// The same spelling back, for log lines.
std::string DescribeReplyMode(const ReplyMode& mode);

}  // namespace zelmodsim
