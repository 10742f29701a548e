// The failures tty_bench reports: a bad command line (UsageError) and a
// failed measurement (std::runtime_error, and std::system_error from the
// host's ErrnoError).
#pragma once

#include <host/common/errors.h>

#include <stdexcept>

namespace zelbench {

// A bad command line is the host's argument error.
using UsageError = zel::ParseError;

// A wait given up because the other thread of a transfer failed: that
// failure, not this one, is the one to report.
class Stopped : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

using zel::ErrnoError;

}  // namespace zelbench
