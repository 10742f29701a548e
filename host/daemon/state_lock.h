// One daemon per state directory: an exclusive flock on
// <state>/zelvcomd.lock, held for the daemon's life (and across the fork
// that daemonises it).
#pragma once

#include <host/common/unique_fd.h>

#include <filesystem>
#include <optional>
#include <string>

namespace zelvcomd {

class StateLock {
public:
    // Nothing, with the reason in *error, when another process holds the
    // lock or the file cannot be opened.
    static std::optional<StateLock> Acquire(const std::filesystem::path& stateDirectory,
                                            std::string* error);

    // Writes this process's id into the lock file, for tools that signal
    // a detached daemon.
    void RecordProcessId() const;

private:
    explicit StateLock(zel::UniqueFd fd) : fd_(std::move(fd)) {}

    zel::UniqueFd fd_;
};

}  // namespace zelvcomd
