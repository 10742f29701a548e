#include "fd_io.h"

#include <host/common/errors.h>
#include <host/common/unique_fd.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <array>

namespace zelmodsim {
namespace {

constexpr std::size_t kReadBlock = 64 * 1024;
constexpr int kWaitForever = -1;

}  // namespace

bool WriteAll(int fd, std::string_view data)
{
    while (!data.empty()) {
        const ssize_t written = write(fd, data.data(), data.size());
        if (written > 0) {
            data.remove_prefix(static_cast<std::size_t>(written));
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd wait{fd, POLLOUT, 0};
            poll(&wait, 1, kWaitForever);
        } else {
            return false;
        }
    }
    return true;
}

std::string ReadWholeFile(const std::string& path, std::size_t maxBytes)
{
    zel::UniqueFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.Valid()) {
        throw zel::ErrnoError("cannot open " + path);
    }
    std::string contents;
    std::array<char, kReadBlock> block{};
    for (;;) {
        const ssize_t got = read(file.Get(), block.data(), block.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            throw zel::ErrnoError("cannot read " + path);
        }
        if (got == 0) {
            return contents;
        }
        contents.append(block.data(), static_cast<std::size_t>(got));
        if (contents.size() > maxBytes) {
            throw zel::ParseError(path + " is larger than " + std::to_string(maxBytes) + " bytes");
        }
    }
}

}  // namespace zelmodsim
