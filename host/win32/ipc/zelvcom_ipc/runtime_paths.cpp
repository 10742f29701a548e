#include "runtime_paths.h"

#include <unistd.h>

#include <cstdlib>

namespace zelipc {
namespace {

constexpr const char kSystemStateDirectory[] = "/var/lib/zelvcom";
constexpr const char kApplicationDirectory[] = "zelvcom";
constexpr const char kUserStateBelowHome[] = ".local/state";

const char* NonEmptyEnvironment(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

}  // namespace

std::filesystem::path DefaultStateDirectory()
{
    if (geteuid() == 0) {
        return kSystemStateDirectory;
    }
    if (const char* xdg = NonEmptyEnvironment("XDG_STATE_HOME")) {
        return std::filesystem::path(xdg) / kApplicationDirectory;
    }
    const char* home = NonEmptyEnvironment("HOME");
    return std::filesystem::path(home != nullptr ? home : ".") / kUserStateBelowHome /
           kApplicationDirectory;
}

std::filesystem::path ClientSocketPath()
{
    if (const char* socket = NonEmptyEnvironment(kSocketEnvironment)) {
        return socket;
    }
    if (const char* state = NonEmptyEnvironment(kStateEnvironment)) {
        return std::filesystem::path(state) / kSocketFileName;
    }
    return DefaultStateDirectory() / kSocketFileName;
}

}  // namespace zelipc
