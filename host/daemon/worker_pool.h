// Threads that run the requests the driver may block in for seconds, so
// they never run on an event loop; and queues that give each device its
// requests one at a time.
#pragma once

#include <host/common/non_copyable.h>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace zelvcomd {

// A few resident threads; a task that finds every thread busy gets one
// more, up to a bound, so tasks blocked in the driver hold no one else
// back. Threads beyond the resident ones end once they have idled a while.
class WorkerPool : zel::NonCopyable {
public:
    using Task = std::function<void()>;

    explicit WorkerPool(std::size_t resident);
    // Runs what is queued, then joins every thread.
    ~WorkerPool();

    void Post(Task task);
    // Blocks until the queue is empty and no task runs.
    void WaitIdle();
    // Threads waiting for a task now.
    std::size_t IdleThreads();

private:
    using Threads = std::list<std::thread>;

    void StartThread();
    void Run(Threads::iterator self);

    const std::size_t resident_;
    std::mutex mutex_;
    std::condition_variable queued_;
    std::condition_variable idle_;
    std::deque<Task> tasks_;
    std::size_t running_ = 0;
    std::size_t waiting_ = 0;
    bool stopping_ = false;
    Threads threads_;
    // Spare threads that ended, to be joined.
    std::vector<std::thread> ended_;
};

// A pool whose tasks run one at a time and in order per key, each turn on
// a thread of the pool: at most one thread works for a key, however many
// tasks it has.
class KeyedQueues {
public:
    using Key = const void*;

    explicit KeyedQueues(std::size_t residentThreads) : pool_(residentThreads) {}

    // After the key's earlier tasks; with no key, after nothing.
    void Post(Key key, WorkerPool::Task task);
    // Blocks until no task is queued or runs.
    void WaitIdle() { pool_.WaitIdle(); }
    // Threads waiting for a task now.
    std::size_t IdleThreads() { return pool_.IdleThreads(); }

private:
    void RunNext(Key key);

    std::mutex mutex_;
    // A key is here while it has work; the front task is the one running.
    std::unordered_map<Key, std::deque<WorkerPool::Task>> queues_;
    // Declared last: its threads are joined before the queues go.
    WorkerPool pool_;
};

}  // namespace zelvcomd
