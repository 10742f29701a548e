// Where programs on this machine open each COM port: zelvcomd links
// <pty dir>/COM<n> to the port's pseudo-terminal while the port exists.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace vcomctl {

// $ZELVCOM_PTY_DIR, else the daemon's default: "dev" beside its socket.
std::filesystem::path PtyDirectory();

// The link for COM<number> when the daemon has made it.
std::optional<std::filesystem::path> PortPath(const std::filesystem::path& PtyDir, std::uint32_t ComNumber);

}  // namespace vcomctl
