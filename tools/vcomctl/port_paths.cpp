#include "port_paths.h"

#include <zelvcom_ipc/runtime_paths.h>

#include <cstdlib>
#include <string>
#include <system_error>

namespace vcomctl {
namespace {

constexpr const char PTY_DIR_ENVIRONMENT[] = "ZELVCOM_PTY_DIR";
constexpr const char DEFAULT_PTY_DIR_NAME[] = "dev";

}  // namespace

std::filesystem::path PtyDirectory()
{
    if (const char* dir = std::getenv(PTY_DIR_ENVIRONMENT); dir != nullptr && *dir != '\0') {
        return dir;
    }
    return zelipc::ClientSocketPath().parent_path() / DEFAULT_PTY_DIR_NAME;
}

std::optional<std::filesystem::path> PortPath(const std::filesystem::path& PtyDir, std::uint32_t ComNumber)
{
    if (ComNumber == 0) {
        return std::nullopt;
    }
    std::filesystem::path link = PtyDir / ("COM" + std::to_string(ComNumber));
    std::error_code error;
    if (!std::filesystem::is_symlink(link, error)) {
        return std::nullopt;
    }
    return link;
}

}  // namespace vcomctl
