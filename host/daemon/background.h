// Daemonising with a readiness report: the parent stays until the child
// says it accepts clients (then prints the child's ready line and exits 0)
// or until the child gives up (then exits 1).
#pragma once

#include <host/common/unique_fd.h>

#include <filesystem>
#include <string>

namespace zelvcomd {

class Background {
public:
    // In the foreground, does nothing. Otherwise forks; only the child
    // returns, in a new session with stdin and stdout on /dev/null and
    // stderr appended to logFile. Call before any thread exists.
    static Background Start(bool foreground, const std::filesystem::path& logFile);

    // Prints the ready line: on stdout in the foreground, through the
    // parent otherwise.
    void ReportReady(const std::string& line);

    // Opens the log file again (standard error), for a log rotated away;
    // false with errno set when it cannot. In the foreground there is no
    // file, and nothing is done.
    bool ReopenLog() const;
    bool Foreground() const { return logFile_.empty(); }

private:
    Background() = default;
    Background(zel::UniqueFd toParent, std::filesystem::path logFile)
        : toParent_(std::move(toParent)), logFile_(std::move(logFile))
    {
    }

    zel::UniqueFd toParent_;
    std::filesystem::path logFile_;
};

}  // namespace zelvcomd
