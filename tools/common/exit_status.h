// How a tool's run ends: the exit statuses, and the failure that carries the
// message for stderr together with the status.
#pragma once

#include <stdexcept>
#include <string>

namespace zeltools {

// The exit statuses, for scripts; each tool's --help lists those it uses.
enum class ExitCode : int {
    Ok = 0,
    Failed = 1,            // the operation failed or was refused, or a check before it failed
    Usage = 2,             // bad command line
    DaemonNotRunning = 3,  // the driver is not there: zelvcomd or its service is not running
    DeviceBusy = 4,        // another program holds the (exclusive) control device open
};

inline int ToStatus(ExitCode code)
{
    return static_cast<int>(code);
}

class Failure : public std::runtime_error {
public:
    Failure(ExitCode code, const std::string& message) : std::runtime_error(message), code_(code) {}
    ExitCode Code() const { return code_; }

private:
    ExitCode code_;
};

// A bad command line: exit status 2.
class UsageError : public Failure {
public:
    explicit UsageError(const std::string& message) : Failure(ExitCode::Usage, message) {}
};

}  // namespace zeltools
