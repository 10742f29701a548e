#include "worker_pool.h"

namespace zelvcomd {

WorkerPool::WorkerPool(std::size_t threads)
{
    threads_.reserve(threads);
    for (std::size_t i = 0; i < threads; ++i) {
        threads_.emplace_back([this] { Run(); });
    }
}

WorkerPool::~WorkerPool()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    queued_.notify_all();
    for (auto& thread : threads_) {
        thread.join();
    }
}

void WorkerPool::Post(Task task)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    queued_.notify_one();
}

void WorkerPool::WaitIdle()
{
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [this] { return tasks_.empty() && running_ == 0; });
}

std::size_t WorkerPool::IdleThreads()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return tasks_.empty() ? waiting_ : 0;
}

void WorkerPool::Run()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        ++waiting_;
        queued_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
        --waiting_;
        if (tasks_.empty()) {
            return;  // stopping, and nothing left to run
        }
        Task task = std::move(tasks_.front());
        tasks_.pop_front();
        ++running_;
        lock.unlock();
        task();
        lock.lock();
        --running_;
        if (tasks_.empty() && running_ == 0) {
            idle_.notify_all();
        }
    }
}

}  // namespace zelvcomd
