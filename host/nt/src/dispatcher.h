// Dispatcher objects: events and timers. One lock guards every object's
// signal state and wait list; a waiter links a wait block with its own
// condition variable into the object's WaitListHead, as NT does.
#pragma once

#include <wdm.h>

#include <chrono>
#include <mutex>
#include <optional>

namespace host {

// Values of DISPATCHER_HEADER.Type (NT's KOBJECTS).
enum DispatcherObjectType : UCHAR {
    kEventNotificationObject = 0,
    kEventSynchronizationObject = 1,
    kTimerNotificationObject = 8,
};

class Dispatcher {
public:
    using Deadline = std::optional<std::chrono::steady_clock::time_point>;

    void Initialize(PDISPATCHER_HEADER header, DispatcherObjectType type, LONG signalState,
                    UCHAR sizeInLongs);
    // Both return the previous signal state.
    LONG Signal(PDISPATCHER_HEADER header);
    LONG Reset(PDISPATCHER_HEADER header);
    // STATUS_SUCCESS, or STATUS_TIMEOUT when the deadline passes first. An
    // empty deadline waits forever.
    NTSTATUS Wait(PDISPATCHER_HEADER header, Deadline deadline);
    // How many threads wait on the object.
    int WaiterCount(PDISPATCHER_HEADER header);

private:
    struct WaitBlock;

    void SignalLocked(PDISPATCHER_HEADER header);
    static void RequireValid(PDISPATCHER_HEADER header, const char* routine);

    std::mutex mutex_;
};

}  // namespace host
