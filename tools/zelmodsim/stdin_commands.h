// Commands from standard input, one per line; each result is one line of
// output. End of input only stops the reading.
#pragma once

#include "command_result.h"
#include "event_log.h"
#include "event_loop.h"
#include "line_buffer.h"

namespace zelmodsim {

class StdinCommands {
public:
    StdinCommands(EventLoop& loop, EventLog& log, CommandExecutor execute);

private:
    void OnReadable();
    void OnLine(std::string_view line, bool tooLong);

    EventLog& log_;
    CommandExecutor execute_;
    LineBuffer lines_;
    EventLoop::Watch watch_;  // stdin is not ours to close, only to watch
};

}  // namespace zelmodsim
