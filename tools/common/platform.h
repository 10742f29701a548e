// What the tools say and look up differently on the two platforms: who
// holds the driver (zelvcomd on Linux, a kernel service on Windows), what
// in the environment they read, and where a program opens a COM port.
// Everything else in vcomctl and comping is the same source on both.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
#include <zelvcom_ipc/runtime_paths.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>
#endif

namespace zeltools {

// The texts are macros, so the help texts take them in as literals.
#if defined(_WIN32)

// What is missing when the control device does not exist.
#define ZEL_DRIVER_HOST "the ZelVCOM service"
// Why the driver's devices do not exist.
inline std::string DriverMissing()
{
    return ZEL_DRIVER_HOST " is not running (the control device \\\\.\\ZelMain does not exist)";
}
// The help's environment section: nothing is read from it.
#define ZEL_ENVIRONMENT_HELP ""
#define ZEL_PORT_PATH_HELP "\\\\.\\COM<n>, once the port exists"

// \\.\COM<n> while the driver's link for the port exists.
inline std::optional<std::string> PortPath(std::uint32_t ComNumber)
{
    const std::string name = "COM" + std::to_string(ComNumber);
    char target[MAX_PATH];
    if (ComNumber == 0 || QueryDosDeviceA(name.c_str(), target, sizeof target) == 0) {
        return std::nullopt;
    }
    return "\\\\.\\" + name;
}

#else

#define ZEL_DRIVER_HOST "zelvcomd"
#define ZEL_ENVIRONMENT_HELP \
    "\n"                     \
    "environment:\n"         \
    "  ZELVCOM_SOCKET  the socket of zelvcomd, if not its default\n"
#define ZEL_PORT_PATH_HELP                                                           \
    "zelvcomd's link to the port's pseudo-terminal,\n"                               \
    "once the port exists; looked for in $ZELVCOM_PTY_DIR, else in \"dev\" beside\n" \
    "the daemon's socket"

constexpr char kPtyDirEnvironment[] = "ZELVCOM_PTY_DIR";

// Why the driver's devices cannot be opened: every socket tried, and why
// each failed. Asked again, so a daemon that has come up since says so.
inline std::string DriverMissing()
{
    std::string why;
    if (zelipc::ConnectClient(&why).Valid()) {
        why = "it answers now, but did not when asked (another version?)";
    }
    return "cannot reach " ZEL_DRIVER_HOST ": " + why;
}

// zelvcomd links <pty dir>/COM<n> to the port's pseudo-terminal while the
// port exists.
inline std::optional<std::string> PortPath(std::uint32_t ComNumber)
{
    if (ComNumber == 0) {
        return std::nullopt;
    }
    const char* const dir = std::getenv(kPtyDirEnvironment);
    const std::filesystem::path ptyDir =
        dir != nullptr && *dir != '\0'
            ? std::filesystem::path(dir)
            : zelipc::PtyDirectoryFor(zelipc::ClientSocketPath());
    const std::filesystem::path link = ptyDir / ("COM" + std::to_string(ComNumber));
    std::error_code error;
    if (!std::filesystem::is_symlink(link, error)) {
        return std::nullopt;
    }
    return link.string();
}

#endif

}  // namespace zeltools
