#include "event_log.h"

#include "fd_io.h"
#include "text_escape.h"

#include <host/common/errors.h>

#include <fcntl.h>

#include <string>

namespace zelmodsim {
namespace {

constexpr mode_t kLogFileMode = 0644;

}  // namespace

void EventLog::Line(std::string_view text)
{
    std::string line(text);
    line += '\n';
    // A reader that went away must not stop the simulator.
    WriteAll(out_, line);
}

void EventLog::Frame(std::string_view bytes)
{
    const std::string escaped = EscapeForLog(bytes);
    if (frameLog_.Valid()) {
        WriteAll(frameLog_.Get(), escaped + '\n');
    }
    Line("FRAME " + escaped);
}

zel::UniqueFd OpenFrameLog(const std::string& path)
{
    zel::UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kLogFileMode));
    if (!fd.Valid()) {
        throw zel::ErrnoError("cannot open frame log " + path);
    }
    return fd;
}

}  // namespace zelmodsim
