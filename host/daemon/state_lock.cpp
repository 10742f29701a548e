#include "state_lock.h"

#include "options.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <unistd.h>

namespace zelvcomd {
namespace {

constexpr mode_t kLockFileMode = 0644;

}  // namespace

std::optional<StateLock> StateLock::Acquire(const std::filesystem::path& stateDirectory,
                                            std::string* error)
{
    const auto path = stateDirectory / kLockFileName;
    zel::UniqueFd fd(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kLockFileMode));
    if (!fd.Valid()) {
        *error = "cannot open " + path.string() + ": " + std::strerror(errno);
        return std::nullopt;
    }
    if (flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
        *error =
            errno == EWOULDBLOCK
                ? "another zelvcomd already uses the state directory " + stateDirectory.string()
                : "cannot lock " + path.string() + ": " + std::strerror(errno);
        return std::nullopt;
    }
    return StateLock(std::move(fd));
}

void StateLock::RecordProcessId() const
{
    const std::string text = std::to_string(getpid()) + "\n";
    if (ftruncate(fd_.Get(), 0) == 0) {
        [[maybe_unused]] const ssize_t ignored = pwrite(fd_.Get(), text.data(), text.size(), 0);
    }
}

}  // namespace zelvcomd
