// Why comping stops: the message for stderr and the exit status.
#pragma once

#include <stdexcept>
#include <string>

namespace comping {

// The exit statuses; --help lists them.
enum class ExitCode : int {
    Ok = 0,
    Failed = 1,            // a round trip did not match or timed out, or a call failed
    Usage = 2,             // bad command line
    DaemonNotRunning = 3,  // the driver is not there: zelvcomd is not running
};

inline int ToStatus(ExitCode code) { return static_cast<int>(code); }

class Failure : public std::runtime_error {
public:
    Failure(ExitCode code, const std::string& message) : std::runtime_error(message), code_(code) {}
    ExitCode Code() const { return code_; }

private:
    ExitCode code_;
};

class UsageError : public Failure {
public:
    explicit UsageError(const std::string& message) : Failure(ExitCode::Usage, message) {}
};

}  // namespace comping
