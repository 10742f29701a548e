// A doorbell on a file: wakes when someone writes to it (inotify). Used on
// the simulator's log, which gets a line for every read it takes, so that
// its counters are asked again only after it made progress.
#pragma once

#include <host/common/unique_fd.h>

#include <chrono>
#include <string>

namespace zelbench {

class FileWatch {
public:
    // Watches path for writes from now on; throws naming it.
    explicit FileWatch(const std::string& path);

    // Forgets the writes seen so far; call it before looking at what they
    // changed, so that a write after the look rings again.
    void Forget() const;

    // Blocks until the file is written to, or timeout passes (false).
    bool Wait(std::chrono::milliseconds timeout) const;

private:
    zel::UniqueFd fd_;
};

}  // namespace zelbench
