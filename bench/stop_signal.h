// A one-shot signal between the two threads of a transfer: whichever fails
// first raises it, so the other stops waiting at once instead of running
// into its timeout.
#pragma once

#include <host/common/unique_fd.h>
#include "bench_error.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace zelbench {

class StopSignal {
public:
    StopSignal() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    {
        if (!fd_.Valid()) {
            throw ErrnoError("eventfd");
        }
    }

    // Readable (POLLIN) once raised.
    int Fd() const { return fd_.Get(); }

    void Raise() const
    {
        const std::uint64_t one = 1;
        // Only fails when the counter would overflow: it is raised already.
        [[maybe_unused]] const ssize_t ignored = write(fd_.Get(), &one, sizeof one);
    }

private:
    zel::UniqueFd fd_;
};

}  // namespace zelbench
