// The exit statuses of vcomctl, for scripts; --help lists them.
#pragma once

namespace vcomctl {

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

}  // namespace vcomctl
