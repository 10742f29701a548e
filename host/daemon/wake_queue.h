// Sessions that have replies to send, handed from the threads that
// complete requests to the event loop (an eventfd wakes it).
#pragma once

#include <zelvcom_ipc/unique_fd.h>

#include <memory>
#include <mutex>
#include <vector>

namespace zelvcomd {

class ClientSession;

class WakeQueue {
public:
    WakeQueue();
    int Fd() const { return fd_.Get(); }
    // Any thread.
    void Push(std::shared_ptr<ClientSession> session);
    // The event loop: everything pushed so far.
    std::vector<std::shared_ptr<ClientSession>> Take();

private:
    zelipc::UniqueFd fd_;
    std::mutex mutex_;
    std::vector<std::shared_ptr<ClientSession>> sessions_;
};

}  // namespace zelvcomd
