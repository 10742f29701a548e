// The two kinds of failure tty_bench reports: a bad command line
// (UsageError) and a failed measurement (std::runtime_error and
// std::system_error from ErrnoError).
#pragma once

#include <cerrno>
#include <stdexcept>
#include <string>
#include <system_error>

namespace zelbench {

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A wait given up because the other thread of a transfer failed: that
// failure, not this one, is the one to report.
class Stopped : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Captures errno now, so build it right after the failing call.
inline std::system_error ErrnoError(const std::string& what)
{
    return std::system_error(errno, std::generic_category(), what);
}

}  // namespace zelbench
