// The timer thread: it keeps queued timers ordered by due time and runs
// DPCs. At expiry a timer is signalled and its DPC queued; DPCs run on this
// thread at DISPATCH_LEVEL, once per insertion. A timer that driver code sets already
// due has its DPC run by that thread once it leaves the driver, as a DPC
// queued on the current processor runs when its IRQL drops.
#pragma once

#include <host/common/non_copyable.h>
#include <wdm.h>

#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace host {

class Dispatcher;

class TimerQueue : zel::NonCopyable {
public:
    using Clock = std::chrono::steady_clock;

    explicit TimerQueue(Dispatcher& dispatcher);
    ~TimerQueue();

    // Each returns whether the timer (or DPC) was queued before the call.
    bool SetTimer(PKTIMER timer, Clock::time_point due, PKDPC dpc);
    bool CancelTimer(PKTIMER timer);
    bool IsTimerQueued(PKTIMER timer);
    bool IsDpcQueued(PKDPC dpc);

    // Blocks until no DPC is queued or running.
    void WaitUntilIdle();
    // Blocks until every DPC queued or running now has run (or was removed);
    // DPCs queued later are not waited for. The caller's own queued DPCs
    // run here first, as they would when its IRQL dropped.
    void FlushQueuedDpcs();
    // Descriptions of queued timers and DPCs.
    std::vector<std::string> Queued();
    // A queued timer, a queued or running DPC, or the DPC of a queued timer
    // that lies in the given memory, which is about to be freed.
    std::optional<std::string> FindQueuedWithin(const void* begin, std::size_t bytes);

private:
    using DueMap = std::multimap<Clock::time_point, PKTIMER>;

    void Run();
    void ExpireDueTimers(Clock::time_point now);
    void ExpireTimer(PKTIMER timer, bool wakeThread = true);
    bool InsertDpcLocked(PKDPC dpc, PVOID argument1, PVOID argument2, bool wakeThread = true);
    void RunQueuedDpcs();
    void RemoveTimerLocked(PKTIMER timer);
    // Runs the first DPC queued for runner; false when there is none.
    bool RunNextDpcFor(std::thread::id runner, std::unique_lock<std::mutex>& lock);

    // A queued DPC and the thread that runs it: the timer thread (an empty
    // id), or the thread that set its timer already due.
    struct QueuedDpc {
        PKDPC Dpc;
        std::thread::id Runner;
        std::uint64_t Insertion;  // order of insertion, for flushes
    };

    // The oldest insertion still queued or running; nextInsertion_ when none.
    std::uint64_t OldestOutstandingLocked() const;

    Dispatcher& dispatcher_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    DueMap byDue_;
    // While the thread sleeps: until when (none: until woken).
    std::optional<Clock::time_point> sleepingUntil_;
    std::unordered_map<PKTIMER, DueMap::iterator> timers_;
    std::deque<QueuedDpc> dpcs_;
    std::unordered_set<PKDPC> queuedDpcs_;
    unsigned runningDpcs_ = 0;
    std::uint64_t nextInsertion_ = 0;
    std::multiset<std::uint64_t> runningInsertions_;
    std::multiset<PKDPC> runningDpcList_;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace host
