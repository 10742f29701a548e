#include "timer_queue.h"

#include "callback_check.h"
#include "dispatcher.h"
#include "nt_time.h"
#include "thread_state.h"
#include "verifier.h"

#include <algorithm>
#include <cstdio>

namespace host {
namespace {

using host::verifier::PointerText;

std::string DescribeDpc(PKDPC dpc)
{
    return "DPC " + PointerText(dpc) + " (routine " +
           PointerText(reinterpret_cast<const void*>(dpc->DeferredRoutine)) + ")";
}

bool Within(const void* object, std::size_t objectSize, const void* begin, std::size_t bytes)
{
    const auto* p = static_cast<const unsigned char*>(object);
    const auto* b = static_cast<const unsigned char*>(begin);
    return p + objectSize > b && p < b + bytes;
}

}  // namespace

TimerQueue::TimerQueue(Dispatcher& dispatcher) : dispatcher_(dispatcher), thread_([this] { Run(); })
{
}

TimerQueue::~TimerQueue()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

bool TimerQueue::SetTimer(PKTIMER timer, Clock::time_point due, PKDPC dpc)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const bool wasQueued = timers_.count(timer) != 0;
    RemoveTimerLocked(timer);
    timer->Dpc = dpc;
    timer->DueTime.QuadPart = static_cast<ULONGLONG>(nt_time::SystemTimeNow());
    dispatcher_.Reset(&timer->Header);
    const auto position = byDue_.emplace(due, timer);
    timers_[timer] = position;
    const Clock::time_point now = Clock::now();
    if (due <= now && thread_state::InDriver()) {
        ExpireTimer(timer, false);
        thread_state::RunOutsideDriver([this] { RunQueuedDpcs(); });
        return wasQueued;
    }
    // The thread sleeps until the expiry that was earliest when it went to
    // sleep; only an earlier one needs it awake (a later one, or one that
    // replaced the earliest, is found when it wakes).
    if (position == byDue_.begin() && (!sleepingUntil_ || due < *sleepingUntil_)) {
        wake_.notify_all();
    }
    return wasQueued;
}

bool TimerQueue::CancelTimer(PKTIMER timer)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const bool wasQueued = timers_.count(timer) != 0;
    RemoveTimerLocked(timer);
    return wasQueued;
}

bool TimerQueue::IsTimerQueued(PKTIMER timer)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return timers_.count(timer) != 0;
}

void TimerQueue::RemoveTimerLocked(PKTIMER timer)
{
    auto it = timers_.find(timer);
    if (it != timers_.end()) {
        byDue_.erase(it->second);
        timers_.erase(it);
    }
}

bool TimerQueue::InsertDpcLocked(PKDPC dpc, PVOID argument1, PVOID argument2, bool wakeThread)
{
    if (!queuedDpcs_.insert(dpc).second) {
        return false;
    }
    dpc->SystemArgument1 = argument1;
    dpc->SystemArgument2 = argument2;
    dpcs_.push_back(QueuedDpc{dpc, wakeThread ? std::thread::id() : std::this_thread::get_id(),
                              nextInsertion_++});
    if (wakeThread) {
        wake_.notify_all();
    }
    return true;
}

bool TimerQueue::IsDpcQueued(PKDPC dpc)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return queuedDpcs_.count(dpc) != 0;
}

void TimerQueue::WaitUntilIdle()
{
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [this] { return runningDpcs_ == 0 && dpcs_.empty(); });
}

std::uint64_t TimerQueue::OldestOutstandingLocked() const
{
    std::uint64_t oldest = nextInsertion_;
    if (!runningInsertions_.empty()) {
        oldest = std::min(oldest, *runningInsertions_.begin());
    }
    for (const QueuedDpc& queued : dpcs_) {
        oldest = std::min(oldest, queued.Insertion);
    }
    return oldest;
}

void TimerQueue::FlushQueuedDpcs()
{
    std::unique_lock<std::mutex> lock(mutex_);
    const std::uint64_t flushed = nextInsertion_;
    while (!stop_ && RunNextDpcFor(std::this_thread::get_id(), lock)) {
    }
    idle_.wait(lock, [&] { return OldestOutstandingLocked() >= flushed; });
}

std::vector<std::string> TimerQueue::Queued()
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> lines;
    for (const auto& [timer, position] : timers_) {
        lines.push_back("timer " + PointerText(timer) +
                        (timer->Dpc != nullptr ? " with " + DescribeDpc(timer->Dpc) : ""));
    }
    for (const QueuedDpc& queued : dpcs_) {
        lines.push_back(DescribeDpc(queued.Dpc));
    }
    return lines;
}

std::optional<std::string> TimerQueue::FindQueuedWithin(const void* begin, std::size_t bytes)
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [timer, position] : timers_) {
        if (Within(timer, sizeof(KTIMER), begin, bytes)) {
            return "queued timer " + PointerText(timer);
        }
        if (timer->Dpc != nullptr && Within(timer->Dpc, sizeof(KDPC), begin, bytes)) {
            return DescribeDpc(timer->Dpc) + " of queued timer " + PointerText(timer);
        }
    }
    for (const QueuedDpc& queued : dpcs_) {
        if (Within(queued.Dpc, sizeof(KDPC), begin, bytes)) {
            return "queued " + DescribeDpc(queued.Dpc);
        }
    }
    for (PKDPC running : runningDpcList_) {
        if (Within(running, sizeof(KDPC), begin, bytes)) {
            return DescribeDpc(running) + " still running";
        }
    }
    return std::nullopt;
}

void TimerQueue::ExpireTimer(PKTIMER timer, bool wakeThread)
{
    RemoveTimerLocked(timer);
    if (timer->Dpc != nullptr) {
        LARGE_INTEGER systemTime;
        systemTime.QuadPart = nt_time::SystemTimeNow();
        InsertDpcLocked(
            timer->Dpc, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(systemTime.LowPart)),
            reinterpret_cast<PVOID>(static_cast<LONG_PTR>(systemTime.HighPart)), wakeThread);
    }
    // Last: a released waiter may free the timer at once.
    dispatcher_.Signal(&timer->Header);
}

void TimerQueue::ExpireDueTimers(Clock::time_point now)
{
    while (!byDue_.empty() && byDue_.begin()->first <= now) {
        ExpireTimer(byDue_.begin()->second);
    }
}

bool TimerQueue::RunNextDpcFor(std::thread::id runner, std::unique_lock<std::mutex>& lock)
{
    auto next = dpcs_.begin();
    while (next != dpcs_.end() && next->Runner != runner) {
        ++next;
    }
    if (next == dpcs_.end()) {
        return false;
    }
    PKDPC dpc = next->Dpc;
    const auto running = runningInsertions_.insert(next->Insertion);
    const auto runningDpc = runningDpcList_.insert(dpc);
    dpcs_.erase(next);
    queuedDpcs_.erase(dpc);
    const PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
    PVOID context = dpc->DeferredContext;
    PVOID argument1 = dpc->SystemArgument1;
    PVOID argument2 = dpc->SystemArgument2;
    ++runningDpcs_;
    lock.unlock();
    {
        // What the routine's completions hand to their callers runs once
        // the DPC counts as done.
        const thread_state::DriverScope inDriver;
        thread_state::SetIrql(DISPATCH_LEVEL);
        const thread_state::Snapshot before = thread_state::Take();
        routine(dpc, context, argument1, argument2);
        verifier::RequireUnchanged(before, "DPC routine");
        thread_state::SetIrql(PASSIVE_LEVEL);
        lock.lock();
        --runningDpcs_;
        runningInsertions_.erase(running);
        runningDpcList_.erase(runningDpc);
        idle_.notify_all();
        lock.unlock();
    }
    lock.lock();
    return true;
}

// The DPCs this thread queued without waking the timer thread: they are
// this thread's alone, as DPCs queued on the current processor.
void TimerQueue::RunQueuedDpcs()
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_ && RunNextDpcFor(std::this_thread::get_id(), lock)) {
    }
}

void TimerQueue::Run()
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        ExpireDueTimers(Clock::now());
        if (RunNextDpcFor(std::thread::id(), lock)) {
            continue;
        }
        if (byDue_.empty()) {
            sleepingUntil_.reset();
            wake_.wait(lock);
        } else {
            // A copy: the queue entry may go while this thread waits.
            const Clock::time_point due = byDue_.begin()->first;
            sleepingUntil_ = due;
            wake_.wait_until(lock, due);
        }
        sleepingUntil_.reset();
    }
}

}  // namespace host
