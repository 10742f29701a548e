// Tells when a program opens a pseudo-terminal slave. inotify sees every
// open; the master's hangup alone misses short open/close pairs and gives
// no wake-up at an open.
#pragma once

#include <host/common/unique_fd.h>

#include <string>
#include <vector>

namespace zelvcomd {

class SlaveWatch {
public:
    SlaveWatch();
    int Fd() const { return fd_.Get(); }

    // A watch on the slave node; returns its descriptor. Throws on failure
    // (the usual cause is fs.inotify.max_user_watches).
    int Add(const std::string& slavePath);
    void Remove(int watch);

    struct Opens {
        std::vector<int> Watches;  // one entry per open, in order
        bool Overflowed = false;   // the kernel dropped events: opens may be missing
    };
    // The opens since the last call.
    Opens Take();

private:
    zel::UniqueFd fd_;
};

}  // namespace zelvcomd
