// Ownership of one POSIX file descriptor (a socket, epoll set, eventfd, timerfd).
#pragma once

#include "../../common/unique_fd.h"

namespace host {
using PosixFd = zel::UniqueFd;
}  // namespace host
