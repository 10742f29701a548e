#include <host/common/unix_listener.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace zel {
namespace {

constexpr mode_t kSocketMode = 0660;
constexpr int kListenBacklog = 64;

sockaddr_un AddressOf(const std::filesystem::path& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string text = path.string();
    if (text.empty() || text.size() >= sizeof address.sun_path) {
        throw std::runtime_error("socket path must have 1 to " +
                                 std::to_string(sizeof address.sun_path - 1) +
                                 " characters: " + text);
    }
    std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
    return address;
}

[[noreturn]] void Fail(const std::string& what, const std::filesystem::path& path)
{
    throw std::runtime_error(what + " " + path.string() + ": " + std::strerror(errno));
}

// True when a daemon answers on the socket file.
bool Answers(const sockaddr_un& address)
{
    UniqueFd probe(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    return probe.Valid() &&
           connect(probe.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

void RemoveStale(const std::filesystem::path& path, const sockaddr_un& address)
{
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) {
        return;
    }
    if (!S_ISSOCK(info.st_mode)) {
        throw std::runtime_error(path.string() + " exists and is not a socket");
    }
    if (Answers(address)) {
        throw std::runtime_error("another process is listening on " + path.string());
    }
    unlink(path.c_str());
}

}  // namespace

UnixListener::UnixListener(std::filesystem::path path) : path_(std::move(path))
{
    const sockaddr_un address = AddressOf(path_);
    RemoveStale(path_, address);
    fd_.Reset(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd_.Valid())
        Fail("socket for", path_);
    if (bind(fd_.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        Fail("cannot bind", path_);
    }
    struct stat info {};
    if (chmod(path_.c_str(), kSocketMode) != 0 || stat(path_.c_str(), &info) != 0) {
        Fail("cannot set the mode of", path_);
    }
    inode_ = info.st_ino;
    if (listen(fd_.Get(), kListenBacklog) != 0)
        Fail("cannot listen on", path_);
}

UnixListener::~UnixListener()
{
    Close();
}

void UnixListener::Close()
{
    if (!fd_.Valid()) {
        return;
    }
    fd_.Reset();
    struct stat info {};
    if (stat(path_.c_str(), &info) == 0 && info.st_ino == inode_) {
        unlink(path_.c_str());
    }
}

UniqueFd UnixListener::Accept()
{
    for (;;) {
        const int fd = accept4(fd_.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0 || errno != EINTR) {
            return UniqueFd(fd);
        }
    }
}

}  // namespace zel
