// The system worker thread: runs work items and the I/O manager's deferred
// closes at PASSIVE_LEVEL, in the order they were queued.
#pragma once

#include <host/common/non_copyable.h>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace host {

class Worker : zel::NonCopyable {
public:
    Worker();
    ~Worker();

    void Queue(std::function<void()> task);
    // Blocks until the queue is empty and no task runs.
    void WaitUntilIdle();

private:
    void Run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<std::function<void()>> tasks_;
    bool running_ = false;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace host
