// A listening Unix stream socket, mode 0660, that owns its path. A socket
// file left by a process that died is replaced; one a live process answers
// on is not, nor is any other file.
#pragma once

#include <host/common/non_copyable.h>
#include <host/common/unique_fd.h>

#include <filesystem>
#include <string>

namespace zel {

class UnixListener : zel::NonCopyable {
public:
    // Throws std::runtime_error with the reason when it cannot listen.
    explicit UnixListener(std::filesystem::path path);
    // Removes the socket file, if it is still the one created here.
    ~UnixListener();

    int Fd() const { return fd_.Get(); }
    const std::filesystem::path& Path() const { return path_; }
    // A new connection, non-blocking; invalid when none is waiting.
    UniqueFd Accept();
    void Close();

private:
    std::filesystem::path path_;
    UniqueFd fd_;
    ino_t inode_ = 0;
};

}  // namespace zel
