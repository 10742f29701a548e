// Test support: zelvcomd run in the foreground with its state and socket in
// a test's own directory, and the environment pointed at that socket so the
// control library (and any vcomctl the test starts) reach this daemon.
#pragma once

#include "support/process.h"

#include <signal.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace zel::test {

class ZelvcomdProcess {
public:
    // Starts the daemon and waits for its ready line. StateDir keeps the
    // saved configuration from one daemon to the next.
    ZelvcomdProcess(const std::string& StateDir, const std::string& SocketPath)
        : process_(std::make_unique<ChildProcess>(
              ZELVCOMD_PATH, std::vector<std::string>{"--foreground", "--state", StateDir,
                                                      "--socket", SocketPath}))
    {
        ready_ = process_->Stdout().WaitForPrefix(kReadyPrefix).has_value();
    }

    ZelvcomdProcess(const ZelvcomdProcess&) = delete;
    ZelvcomdProcess& operator=(const ZelvcomdProcess&) = delete;
    ~ZelvcomdProcess() { Stop(); }

    bool Ready() const { return ready_; }
    // What the daemon wrote to stderr, for failure messages.
    std::string Log() const { return process_->Stderr().Text(); }

    // SIGTERM, then waits for the daemon to end; true when it did.
    bool Stop()
    {
        if (stopped_) {
            return true;
        }
        process_->Signal(SIGTERM);
        stopped_ = process_->WaitForExit().has_value();
        return stopped_;
    }

    static constexpr const char kReadyPrefix[] = "zelvcomd ready";

private:
    std::unique_ptr<ChildProcess> process_;
    bool ready_ = false;
    bool stopped_ = false;
};

// Points this process (and its children) at Path for the daemon's socket.
inline void UseDaemonSocket(const std::string& Path)
{
    constexpr int kOverwrite = 1;
    setenv("ZELVCOM_SOCKET", Path.c_str(), kOverwrite);
}

}  // namespace zel::test
