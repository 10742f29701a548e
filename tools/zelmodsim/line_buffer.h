// Splits a byte stream into command lines. A line ends at LF; a CR before it
// is dropped. A line longer than the limit is cut there and flagged.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace zelmodsim {

class LineBuffer {
public:
    using LineHandler = std::function<void(std::string_view line, bool tooLong)>;

    explicit LineBuffer(std::size_t maxLine) : maxLine_(maxLine) {}

    // Calls onLine for every line the bytes complete.
    void Feed(std::string_view bytes, const LineHandler& onLine);
    // At end of input: an unterminated last line still counts.
    void Finish(const LineHandler& onLine);

private:
    void Emit(const LineHandler& onLine);

    std::size_t maxLine_;
    std::string partial_;
    bool tooLong_ = false;
};

}  // namespace zelmodsim
