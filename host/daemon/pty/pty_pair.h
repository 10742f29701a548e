// One pseudo-terminal as a serial port's stand-in: the daemon keeps the
// master; programs open the slave. Created raw, in packet mode (so the
// program's tcsetattr calls are reported), with the slave's owner, group
// and mode set for the programs that may use it.
#pragma once

#include <host/common/unique_fd.h>

#include <sys/types.h>

#include <optional>
#include <string>

namespace zelvcomd {

struct SlaveAccess {
    std::optional<uid_t> Owner;  // unchanged when empty
    std::optional<gid_t> Group;  // unchanged when empty
    mode_t Mode = 0660;
};

// True while some program has the slave of this master open (the master
// shows no hangup).
bool SlaveHeld(int masterFd);

class PtyPair {
public:
    // Throws std::system_error with what failed and why.
    static PtyPair Create(const SlaveAccess& access);

    int Master() const { return master_.Get(); }
    const std::string& SlavePath() const { return slavePath_; }

    bool SlaveHeld() const { return zelvcomd::SlaveHeld(master_.Get()); }

    // Discards what the slave holds unread: bytes a closed session left
    // behind must not reach the next program. Opens the slave for a moment
    // (an open the slave's watch sees).
    void DiscardSlaveInput() const;

private:
    PtyPair(zel::UniqueFd master, std::string slavePath)
        : master_(std::move(master)), slavePath_(std::move(slavePath))
    {
    }

    zel::UniqueFd master_;
    std::string slavePath_;
};

}  // namespace zelvcomd
