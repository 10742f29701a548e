#include "runtime_paths.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace zelipc {
namespace {

constexpr const char kApplicationDirectory[] = "zelvcom";
constexpr const char kUserStateBelowHome[] = ".local/state";

const char* NonEmptyEnvironment(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

// The same path however written ("/var/lib/zelvcom/" too).
bool SamePath(const std::filesystem::path& path, const char* other)
{
    std::filesystem::path normal = path.lexically_normal();
    if (!normal.has_filename()) {
        normal = normal.parent_path();
    }
    return normal == std::filesystem::path(other);
}

// 0 when connected, else the errno of the failure.
int ConnectTo(const std::filesystem::path& socketPath, zel::UniqueFd* connected)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = socketPath.string();
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        return ENAMETOOLONG;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    zel::UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.Valid()) {
        return errno;
    }
    int result = 0;
    do {
        result = connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        return errno;
    }
    *connected = std::move(fd);
    return 0;
}

std::string Reason(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return "absent";
    case ECONNREFUSED:
        return "refused: no zelvcomd listens on it";
    case EACCES:
    case EPERM:
        return std::string("permission denied: add yourself to group ") + kSocketGroup +
               " (then log in again)";
    case ENAMETOOLONG:
        return "too long for a socket path";
    default:
        return std::strerror(error);
    }
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

std::filesystem::path SocketFor(const std::filesystem::path& stateDirectory)
{
    if (SamePath(stateDirectory, kSystemStateDirectory)) {
        return kSystemSocket;
    }
    return stateDirectory / kSocketFileName;
}

std::filesystem::path PtyDirectoryFor(const std::filesystem::path& socketPath)
{
    if (SamePath(socketPath, kSystemSocket)) {
        return std::filesystem::path(kSystemStateDirectory) / kPtyDirectoryName;
    }
    return socketPath.parent_path() / kPtyDirectoryName;
}

std::vector<SocketCandidate> ClientSocketCandidates()
{
    if (const char* socket = NonEmptyEnvironment(kSocketEnvironment)) {
        return {{socket, std::string("$") + kSocketEnvironment}};
    }
    if (const char* state = NonEmptyEnvironment(kStateEnvironment)) {
        return {{SocketFor(state), std::string("$") + kStateEnvironment}};
    }
    std::vector<SocketCandidate> candidates{{kSystemSocket, "the service's"}};
    const std::filesystem::path own = SocketFor(DefaultStateDirectory());
    if (own != kSystemSocket) {
        candidates.push_back({own, "your own"});
    }
    return candidates;
}

std::filesystem::path ClientSocketPath()
{
    const auto candidates = ClientSocketCandidates();
    for (const auto& candidate : candidates) {
        struct stat info {};
        if (stat(candidate.Path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode) &&
            access(candidate.Path.c_str(), W_OK) == 0) {
            return candidate.Path;
        }
    }
    return candidates.front().Path;
}

zel::UniqueFd ConnectClient(std::string* whyNot)
{
    std::string tried;
    for (const auto& candidate : ClientSocketCandidates()) {
        zel::UniqueFd connected;
        const int error = ConnectTo(candidate.Path, &connected);
        if (error == 0) {
            return connected;
        }
        tried += (tried.empty() ? "" : "; ") + candidate.Path.string() + " (" +
                 candidate.Origin + "): " + Reason(error);
    }
    if (whyNot != nullptr) {
        *whyNot = tried;
    }
    return {};
}

}  // namespace zelipc
