#include "unix_listener.h"

#include "errors.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>

namespace zelmodsim {
namespace {

UniqueFd BindUnix(const std::string& path)
{
    sockaddr_un local{};
    local.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof local.sun_path) {
        throw ParseError("command socket path must have 1 to " + std::to_string(sizeof local.sun_path - 1) +
                         " characters");
    }
    std::memcpy(local.sun_path, path.c_str(), path.size() + 1);
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.Valid()) {
        throw ErrnoError("socket");
    }
    if (bind(fd.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        throw ErrnoError("cannot bind " + path);
    }
    return fd;
}

}  // namespace

UnixListener::UnixListener(std::string path, int backlog) : path_(std::move(path)), fd_(BindUnix(path_))
{
    if (listen(fd_.Get(), backlog) != 0) {
        const auto error = ErrnoError("cannot listen on " + path_);
        unlink(path_.c_str());
        throw error;
    }
}

UnixListener::~UnixListener() { unlink(path_.c_str()); }

}  // namespace zelmodsim
