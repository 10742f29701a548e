// Test support: vcomctl run as a process, to completion.
#pragma once

#include "support/process.h"

#include <string>
#include <vector>

namespace zel::test {

using VcomctlOutcome = ProgramOutcome;

inline VcomctlOutcome RunVcomctl(const std::vector<std::string>& Args)
{
    return RunToExit(VCOMCTL_PATH, Args);
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
