#include "line_buffer.h"

namespace zelmodsim {
namespace {

constexpr char kLineFeed = '\n';
constexpr char kCarriageReturn = '\r';

}  // namespace

void LineBuffer::Feed(std::string_view bytes, const LineHandler& onLine)
{
    for (const char byte : bytes) {
        if (byte == kLineFeed) {
            Emit(onLine);
        } else if (partial_.size() < maxLine_) {
            partial_ += byte;
        } else {
            tooLong_ = true;
        }
    }
}

void LineBuffer::Finish(const LineHandler& onLine)
{
    if (!partial_.empty() || tooLong_) {
        Emit(onLine);
    }
}

void LineBuffer::Emit(const LineHandler& onLine)
{
    if (!partial_.empty() && partial_.back() == kCarriageReturn) {
        partial_.pop_back();
    }
    const std::string line = std::move(partial_);
    const bool tooLong = tooLong_;
    partial_.clear();
    tooLong_ = false;
    onLine(line, tooLong);
}

}  // namespace zelmodsim
