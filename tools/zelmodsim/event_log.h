// The lines tests and people read: events and command results on standard
// output, one per line and written at once; received frames also go to the
// frame log file when there is one.
#pragma once

#include <host/common/unique_fd.h>

#include <string>
#include <string_view>

namespace zelmodsim {

class EventLog {
public:
    EventLog(int out, zel::UniqueFd frameLog) : out_(out), frameLog_(std::move(frameLog)) {}

    void Line(std::string_view text);
    // Written to the frame log before the FRAME line appears, so a reader
    // that saw the line finds the frame in the file.
    void Frame(std::string_view bytes);

private:
    int out_;  // not owned
    zel::UniqueFd frameLog_;
};

// Opens (truncates) the frame log; throws naming the path.
zel::UniqueFd OpenFrameLog(const std::string& path);

}  // namespace zelmodsim
