// A command that cannot go on: the message for stderr and the exit status.
#pragma once

#include "exit_codes.h"

#include <stdexcept>
#include <string>

namespace vcomctl {

class CommandError : public std::runtime_error {
public:
    CommandError(ExitCode code, const std::string& message) : std::runtime_error(message), code_(code) {}
    ExitCode Code() const { return code_; }

private:
    ExitCode code_;
};

// A bad command line: exit status 2.
class UsageError : public CommandError {
public:
    explicit UsageError(const std::string& message) : CommandError(ExitCode::Usage, message) {}
};

}  // namespace vcomctl
