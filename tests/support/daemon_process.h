// zelvcomd as a test's child process, in the foreground on the test's state
// directory, socket and (when given) COM link directory, its log waited on
// line by line; UseDaemonSocket points the control library (and vcomctl) at it.
#pragma once

#include "support/deadline.h"
#include "support/process.h"

#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace zel::test {

class DaemonProcess {
public:
    DaemonProcess(const std::filesystem::path& stateDirectory,
                  const std::filesystem::path& socketPath,
                  const std::filesystem::path& ptyDirectory = {},
                  std::vector<std::string> moreArgs = {})
        : process_(ZELVCOMD_PATH, Arguments(stateDirectory, socketPath, ptyDirectory, moreArgs)),
          ready_("zelvcomd ready socket=" + socketPath.string())
    {
    }

    // True once the ready line naming the socket has come.
    bool WaitReady()
    {
        return process_.Stdout()
            .WaitFor([this](const std::string& line) { return line == ready_; })
            .has_value();
    }
    // The next log line (not yet waited for) that contains text.
    bool SawLog(const std::string& text, const Deadline& deadline = Deadline())
    {
        const auto match = [&text](const std::string& line) {
            return line.find(text) != std::string::npos;
        };
        return process_.Stderr().WaitFor(match, deadline).has_value();
    }
    std::string Log() const { return process_.Stderr().Text(); }

    // SIGTERM, then the wait status.
    std::optional<int> Stop()
    {
        process_.Signal(SIGTERM);
        return WaitForExit();
    }
    // The wait status; then the output is read to its end, so that Log()
    // has all the daemon wrote.
    std::optional<int> WaitForExit()
    {
        const std::optional<int> status = process_.WaitForExit();
        if (status) {
            process_.Drain();
        }
        return status;
    }
    ChildProcess& Process() { return process_; }

private:
    static std::vector<std::string> Arguments(const std::filesystem::path& stateDirectory,
                                              const std::filesystem::path& socketPath,
                                              const std::filesystem::path& ptyDirectory,
                                              std::vector<std::string> args)
    {
        args.insert(args.begin(), {"--foreground", "--log-level", "debug", "--state",
                                   stateDirectory.string(), "--socket", socketPath.string()});
        if (!ptyDirectory.empty()) {
            args.insert(args.end(), {"--pty-dir", ptyDirectory.string()});
        }
        return args;
    }

    mutable ChildProcess process_;  // its output is read by its own threads
    std::string ready_;
};

// Points this process (and its children) at Path for the daemon's socket.
inline void UseDaemonSocket(const std::string& Path)
{
    constexpr int kOverwrite = 1;
    setenv("ZELVCOM_SOCKET", Path.c_str(), kOverwrite);
}

}  // namespace zel::test
