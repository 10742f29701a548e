// SIGTERM and SIGINT as a readable descriptor: blocked in every thread
// (create this before any thread starts) and read by the event loop.
// SIGPIPE is ignored, so a client that vanishes mid-reply costs nothing.
#pragma once

#include <zelvcom_ipc/unique_fd.h>

namespace zelvcomd {

class SignalWatch {
public:
    SignalWatch();
    int Fd() const { return fd_.Get(); }
    // The signal that arrived, or 0 when none was pending.
    int Take();

private:
    zelipc::UniqueFd fd_;
};

}  // namespace zelvcomd
