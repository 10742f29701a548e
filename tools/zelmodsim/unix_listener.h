// A listening Unix stream socket that owns its path: the socket file is
// removed again when the listener goes.
#pragma once

#include "unique_fd.h"

#include <string>

namespace zelmodsim {

class UnixListener {
public:
    // Throws when the path is too long, exists already or cannot be bound.
    UnixListener(std::string path, int backlog);
    UnixListener(const UnixListener&) = delete;
    UnixListener& operator=(const UnixListener&) = delete;
    ~UnixListener();

    int Fd() const { return fd_.Get(); }

private:
    std::string path_;
    UniqueFd fd_;
};

}  // namespace zelmodsim
