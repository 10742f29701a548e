// The two kinds of failure the host's programs report: a bad argument or
// command (ParseError) and a failed system call (std::system_error from
// ErrnoError).
#pragma once

#include <cerrno>
#include <stdexcept>
#include <string>
#include <system_error>

namespace zel {

class ParseError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Captures errno now, so build it right after the failing call.
inline std::system_error ErrnoError(const std::string& what)
{
    return std::system_error(errno, std::generic_category(), what);
}

}  // namespace zel
