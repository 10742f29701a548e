// The commands of vcomctl: their names, help texts and what runs them, and
// how one that cannot go on says so (message and exit status).
#pragma once

#include <functional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vcomctl {

// The exit statuses, for scripts; --help lists them.
enum class ExitCode : int {
    Ok = 0,
    Failed = 1,            // the driver refused the operation, or a check before it failed
    Usage = 2,             // bad command line
    DaemonNotRunning = 3,  // the control device does not exist: zelvcomd is not running
    DeviceBusy = 4,        // another program holds the (exclusive) control device open
};

inline int ToStatus(ExitCode code)
{
    return static_cast<int>(code);
}

class CommandError : public std::runtime_error {
public:
    CommandError(ExitCode code, const std::string& message)
        : std::runtime_error(message), code_(code)
    {
    }
    ExitCode Code() const { return code_; }

private:
    ExitCode code_;
};

// A bad command line: exit status 2.
class UsageError : public CommandError {
public:
    explicit UsageError(const std::string& message) : CommandError(ExitCode::Usage, message) {}
};

using Arguments = std::vector<std::string>;
// Writes its results to Out; throws CommandError when it cannot succeed.
using CommandRunner = std::function<void(const Arguments& Args, std::ostream& Out)>;

struct Command {
    std::string_view Name;
    std::string_view Synopsis;  // the command line, after "vcomctl "
    std::string_view Summary;   // one line for the command list
    std::string_view Details;   // the rest of its help
    CommandRunner Run;
};

const std::vector<Command>& AllCommands();
// Null when there is no such command.
const Command* FindCommand(std::string_view Name);

}  // namespace vcomctl
