// Program to module, for one session of a port: what the program writes is
// read from the pseudo-terminal's master and goes out as port writes, in
// order, with the line settings the program makes between them. Runs on the
// port's strand, where the driver may block; while a write is under way the
// master is not read, so a program writing faster than the module takes
// blocks.
#pragma once

#include "../logger.h"
#include "line_settings.h"

#include <host/common/unique_fd.h>

#include <host/kernel.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace zelvcomd {

class PortUpload {
public:
    // Keeps a descriptor of its own for the master, so the master stays
    // valid while a turn runs even if the pseudo-terminal goes meanwhile.
    // Throws when it cannot have one.
    // closingWait: how long, once the program has left, the module may take
    // nothing before what is left is dropped.
    PortUpload(std::shared_ptr<host::File> file, int masterFd, std::chrono::seconds closingWait,
               Logger& log, std::string name);

    enum class Outcome {
        Empty,  // the master has nothing more for now
        More,   // the turn ended with more to read: others get a turn first
        Ended,  // no program holds the slave, and all it wrote has gone out
        // The session's program has left and another holds the slave: what
        // is left in the master waits for the next session (see TakeCarried).
        Superseded,
    };
    // Moves what the master holds to the module, a bounded amount per turn.
    Outcome TakeTurn();
    // Waits at most the given time for the master to have something (or a
    // hangup); true when it has.
    bool AwaitInput(std::chrono::milliseconds timeout);
    // The loop saw the session's last program leave. From then on, bytes
    // read while a program holds the slave again are not sent: they are the
    // next program's, and its answers must come back in its own session.
    // Any open of the slave counts, so the daemon makes none after this.
    // Any thread.
    void ProgramLeft() { programLeft_ = true; }
    // What was read for the next session. After the last turn.
    std::vector<std::uint8_t> TakeCarried() { return std::move(carried_); }
    void Send(const std::vector<std::uint8_t>& bytes) { Write(bytes.data(), bytes.size()); }
    // The session is ending: a turn under way takes no more than it has.
    // Any thread.
    void Stop() { stopped_ = true; }
    bool Stopped() const { return stopped_; }
    // The port goes away: no write is tried after the one under way. Any
    // thread.
    void Abandon()
    {
        abandoned_ = stopped_ = true;
        WakeRetry();
    }
    // Sends the program's line settings when they changed, all of them the
    // first time.
    void ApplyLineSettings();

private:
    void Write(const std::uint8_t* data, std::size_t length);
    // A write failed: the module is away. While the program is there the
    // bytes wait for it (the driver connects again in the background), and
    // the master is not read meanwhile, so the program's writes block once
    // the pseudo-terminal is full. False once they are given up on.
    bool WaitForModule(std::size_t held, NTSTATUS status, int* attempts);
    // Once the program has left: true when the module has taken nothing
    // for the closing wait, which is then logged as dropping held bytes.
    bool StalledPastClosingWait(std::chrono::steady_clock::time_point began, std::size_t held);
    void WakeRetry();

    const std::shared_ptr<host::File> file_;
    const zel::UniqueFd master_;
    const std::chrono::seconds closingWait_;
    Logger& log_;
    const std::string name_;
    std::optional<LineSettings> applied_;
    std::atomic<bool> stopped_{false};
    std::atomic<bool> abandoned_{false};
    std::atomic<bool> programLeft_{false};
    bool superseded_ = false;
    // Once the program has left: since when the module has taken nothing.
    std::optional<std::chrono::steady_clock::time_point> stalledSince_;
    bool givenUp_ = false;  // the module took nothing for the closing wait
    std::mutex retryMutex_;
    std::condition_variable retryWake_;
    std::vector<std::uint8_t> carried_;
};

}  // namespace zelvcomd
