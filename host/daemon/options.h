// Command line of zelvcomd.
#pragma once

#include "pty/pty_pair.h"

#include <host/kernel.h>

#include <chrono>
#include <filesystem>
#include <cstdint>
#include <optional>
#include <string>

namespace zelvcomd {

constexpr long kDefaultClosingWaitSeconds = 30;
// A client says Hello as soon as it connects; a connection silent this long
// is closed.
constexpr long kDefaultHelloTimeoutSeconds = 5;

struct Options {
    std::filesystem::path StateDirectory;
    std::filesystem::path SocketPath;
    host::LogLevel LogLevel = host::LogLevel::Info;
    bool Foreground = false;
    // Where the ports' links COM<n> go (default DIR/dev), and who may open
    // the pseudo-terminals behind them.
    std::filesystem::path PtyDirectory;
    SlaveAccess PtyAccess;
    // As a serial port's closing wait: what a program wrote before it closed
    // waits this long for a module that takes none of it.
    std::chrono::seconds PtyClosingWait{kDefaultClosingWaitSeconds};
    std::chrono::seconds HelloTimeout{kDefaultHelloTimeoutSeconds};
    // COM<n> is also an RFC 2217 endpoint on TCP port Rfc2217BasePort + n
    // (none when 0), on this address.
    std::uint16_t Rfc2217BasePort = 0;
    std::string Rfc2217Address = "127.0.0.1";
};

// The daemon's files inside the state directory.
constexpr const char kLockFileName[] = "zelvcomd.lock";
constexpr const char kLogFileName[] = "zelvcomd.log";

// Parses argv; on a bad argument prints the reason and usage to stderr and
// returns nothing. --help prints the usage and exits.
std::optional<Options> ParseOptions(int argc, char** argv);

}  // namespace zelvcomd
