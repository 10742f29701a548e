// A small epoll wrapper for the event loop: descriptors are the keys.
#pragma once

#include <zelvcom_ipc/unique_fd.h>

#include <sys/epoll.h>

#include <cstdint>
#include <vector>

namespace zelvcomd {

class Epoll {
public:
    Epoll();
    void Add(int fd, std::uint32_t events);
    void Modify(int fd, std::uint32_t events);
    void Remove(int fd);
    // Ready descriptors and their events; blocks until there is one.
    std::vector<epoll_event> Wait();

private:
    zelipc::UniqueFd fd_;
};

}  // namespace zelvcomd
