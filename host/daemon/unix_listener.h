// The clients' Unix stream socket, mode 0660. A socket file left by a
// daemon that died is replaced; one a live daemon answers on is not.
#pragma once

#include <zelvcom_ipc/unique_fd.h>

#include <filesystem>
#include <string>

namespace zelvcomd {

class UnixListener {
public:
    // Throws std::runtime_error with the reason when it cannot listen.
    explicit UnixListener(std::filesystem::path path);
    // Removes the socket file, if it is still the one created here.
    ~UnixListener();
    UnixListener(const UnixListener&) = delete;
    UnixListener& operator=(const UnixListener&) = delete;

    int Fd() const { return fd_.Get(); }
    const std::filesystem::path& Path() const { return path_; }
    // A new connection, non-blocking; invalid when none is waiting.
    zelipc::UniqueFd Accept();
    void Close();

private:
    std::filesystem::path path_;
    zelipc::UniqueFd fd_;
    ino_t inode_ = 0;
};

}  // namespace zelvcomd
