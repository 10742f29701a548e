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

private:
    Background() = default;
    explicit Background(zel::UniqueFd toParent) : toParent_(std::move(toParent)) {}

    zel::UniqueFd toParent_;
};

}  // namespace zelvcomd
