// Signals (by default SIGTERM and SIGINT) as a readable descriptor for an
// event loop. They are blocked in the creating thread and every thread it
// starts afterwards (create this before any thread starts), so they arrive
// only through here.
#pragma once

#include <host/common/unique_fd.h>

#include <signal.h>

#include <initializer_list>

namespace zel {

class SignalWatch {
public:
    explicit SignalWatch(std::initializer_list<int> signals = {SIGTERM, SIGINT});
    int Fd() const { return fd_.Get(); }
    // The signal that arrived, or 0 when none was pending.
    int Take();

private:
    UniqueFd fd_;
};

}  // namespace zel
