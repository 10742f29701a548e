// A fixed set of threads that run the clients' requests: dispatch routines
// may block for seconds, so they never run on the event loop.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace zelvcomd {

class WorkerPool {
public:
    using Task = std::function<void()>;

    explicit WorkerPool(std::size_t threads);
    // Runs what is queued, then joins every thread.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    void Post(Task task);
    // Blocks until the queue is empty and no task runs.
    void WaitIdle();
    // Threads waiting for a task now.
    std::size_t IdleThreads();

private:
    void Run();

    std::mutex mutex_;
    std::condition_variable queued_;
    std::condition_variable idle_;
    std::deque<Task> tasks_;
    std::size_t running_ = 0;
    std::size_t waiting_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace zelvcomd
