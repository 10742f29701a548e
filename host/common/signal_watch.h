// SIGTERM and SIGINT as a readable descriptor for an event loop. The two are
// blocked in the creating thread and every thread it starts afterwards
// (create this before any thread starts), so they arrive only through here.
#pragma once

#include <host/common/unique_fd.h>

namespace zel {

class SignalWatch {
public:
    SignalWatch();
    int Fd() const { return fd_.Get(); }
    // The signal that arrived, or 0 when none was pending.
    int Take();

private:
    UniqueFd fd_;
};

}  // namespace zel
