#include "worker_pool.h"

#include <chrono>
#include <system_error>

namespace zelvcomd {
namespace {

// Only a guard against runaway growth: the queues keep it to one thread per
// device with work (at most 2048 ports, 256 modules and the control
// device) plus a few for teardowns and cancels.
constexpr std::size_t kMostThreads = 4096;
// How long a spare thread waits for another task before it ends.
constexpr std::chrono::seconds kSpareIdle{10};

}  // namespace

WorkerPool::WorkerPool(std::size_t resident) : resident_(resident)
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t i = 0; i < resident; ++i) {
        StartThread();
    }
}

WorkerPool::~WorkerPool()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    queued_.notify_all();
    // Once stopping, no thread leaves the list by itself.
    for (auto& thread : threads_) {
        thread.join();
    }
    for (auto& thread : ended_) {
        thread.join();
    }
}

void WorkerPool::Post(Task task)
{
    std::vector<std::thread> ended;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        tasks_.push_back(std::move(task));
        if (waiting_ < tasks_.size() && threads_.size() < kMostThreads && !stopping_) {
            try {
                StartThread();
            } catch (const std::system_error&) {
                // The threads there are take it in turn.
            }
        }
        ended.swap(ended_);
    }
    queued_.notify_one();
    for (auto& thread : ended) {
        thread.join();
    }
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

// With mutex_ held: the new thread finds itself in the list only once
// the caller has let go of it.
void WorkerPool::StartThread()
{
    const auto self = threads_.emplace(threads_.end());
    try {
        *self = std::thread([this, self] { Run(self); });
    } catch (...) {
        threads_.erase(self);
        throw;
    }
}

void WorkerPool::Run(Threads::iterator self)
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        ++waiting_;
        const bool woken =
            queued_.wait_for(lock, kSpareIdle, [this] { return stopping_ || !tasks_.empty(); });
        --waiting_;
        if (tasks_.empty()) {
            if (stopping_) {
                return;  // nothing left to run
            }
            if (!woken && threads_.size() > resident_) {
                ended_.push_back(std::move(*self));
                threads_.erase(self);
                return;
            }
            continue;
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

void KeyedQueues::Post(Key key, WorkerPool::Task task)
{
    if (key == nullptr) {
        pool_.Post(std::move(task));
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto& queue = queues_[key];
        queue.push_back(std::move(task));
        if (queue.size() > 1) {
            return;  // the key's turn under way posts the next
        }
    }
    pool_.Post([this, key] { RunNext(key); });
}

// One task per turn, so that when the pool is at its bound the keys take
// the threads in turn.
void KeyedQueues::RunNext(Key key)
{
    WorkerPool::Task task;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        task = std::move(queues_.at(key).front());
    }
    task();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = queues_.find(key);
        found->second.pop_front();
        if (found->second.empty()) {
            queues_.erase(found);
            return;
        }
    }
    pool_.Post([this, key] { RunNext(key); });
}

}  // namespace zelvcomd
