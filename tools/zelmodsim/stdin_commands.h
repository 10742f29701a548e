// Commands from standard input, one per line; each result is one line of
// output. End of input only stops the reading.
#pragma once

#include "command_result.h"
#include "event_log.h"
#include "line_buffer.h"

#include <host/common/event_loop.h>

namespace zelmodsim {

class StdinCommands {
public:
    StdinCommands(zel::EventLoop& loop, EventLog& log, CommandExecutor execute);

private:
    void OnReadable();
    void OnLine(std::string_view line, bool tooLong);

    EventLog& log_;
    CommandExecutor execute_;
    LineBuffer lines_;
    zel::EventLoop::Watch watch_;  // stdin is not ours to close, only to watch
};

}  // namespace zelmodsim
