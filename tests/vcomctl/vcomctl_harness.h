// Test support: vcomctl run as a process, to completion.
#pragma once

#include "support/process.h"

#include <sys/wait.h>

#include <optional>
#include <string>
#include <vector>

namespace zel::test {

struct VcomctlOutcome {
    int Status = -1;  // the exit status; -1 when it did not exit normally
    std::string Out;
    std::string Err;
};

inline VcomctlOutcome RunVcomctl(const std::vector<std::string>& Args)
{
    ChildProcess process(VCOMCTL_PATH, Args);
    process.CloseStdin();
    const auto status = process.WaitForExit();
    // Both streams to their end, so nothing written is missed.
    const auto never = [](const std::string&) { return false; };
    process.Stdout().WaitFor(never);
    process.Stderr().WaitFor(never);
    VcomctlOutcome outcome;
    if (status && WIFEXITED(*status)) {
        outcome.Status = WEXITSTATUS(*status);
    }
    outcome.Out = process.Stdout().Text();
    outcome.Err = process.Stderr().Text();
    return outcome;
}

inline bool Contains(const std::string& Text, const std::string& Part)
{
    return Text.find(Part) != std::string::npos;
}

// The documented exit statuses.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitDaemonNotRunning = 3;
constexpr int kExitDeviceBusy = 4;

}  // namespace zel::test
