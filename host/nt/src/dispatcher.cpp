#include "dispatcher.h"

#include "verifier.h"
#include "verifier_rules.h"

#include <condition_variable>
#include <cstdio>

namespace host {

struct Dispatcher::WaitBlock {
    LIST_ENTRY Entry;
    std::condition_variable Wake;
    bool Satisfied = false;
};

namespace {

bool IsSynchronization(UCHAR type)
{
    return type == kEventSynchronizationObject;
}

bool IsKnownType(UCHAR type)
{
    return type == kEventNotificationObject || type == kEventSynchronizationObject ||
           type == kTimerNotificationObject;
}

}  // namespace

void Dispatcher::RequireValid(PDISPATCHER_HEADER header, const char* routine)
{
    if (header == nullptr || !IsKnownType(header->Type) || header->WaitListHead.Flink == nullptr) {
        char detail[96];
        std::snprintf(detail, sizeof(detail),
                      "%s on %p, which is not an initialised event or timer", routine,
                      static_cast<void*>(header));
        verifier::BugCheck(rule::kInvalidObject, detail);
    }
}

void Dispatcher::Initialize(PDISPATCHER_HEADER header, DispatcherObjectType type, LONG signalState,
                            UCHAR sizeInLongs)
{
    std::lock_guard<std::mutex> lock(mutex_);
    header->Lock = 0;
    header->Type = type;
    header->Size = sizeInLongs;
    header->SignalState = signalState;
    InitializeListHead(&header->WaitListHead);
}

void Dispatcher::SignalLocked(PDISPATCHER_HEADER header)
{
    if (IsSynchronization(header->Type) && !IsListEmpty(&header->WaitListHead)) {
        // A synchronization object releases one waiter and stays reset.
        auto* block = CONTAINING_RECORD(RemoveHeadList(&header->WaitListHead), WaitBlock, Entry);
        block->Satisfied = true;
        block->Wake.notify_one();
        return;
    }
    header->SignalState = 1;
    while (!IsListEmpty(&header->WaitListHead)) {
        auto* block = CONTAINING_RECORD(RemoveHeadList(&header->WaitListHead), WaitBlock, Entry);
        block->Satisfied = true;
        block->Wake.notify_one();
    }
}

LONG Dispatcher::Signal(PDISPATCHER_HEADER header)
{
    std::lock_guard<std::mutex> lock(mutex_);
    RequireValid(header, "KeSetEvent");
    const LONG previous = header->SignalState;
    SignalLocked(header);
    return previous;
}

LONG Dispatcher::Reset(PDISPATCHER_HEADER header)
{
    std::lock_guard<std::mutex> lock(mutex_);
    RequireValid(header, "KeClearEvent");
    const LONG previous = header->SignalState;
    header->SignalState = 0;
    return previous;
}

int Dispatcher::WaiterCount(PDISPATCHER_HEADER header)
{
    std::lock_guard<std::mutex> lock(mutex_);
    RequireValid(header, "WaiterCount");
    int count = 0;
    for (PLIST_ENTRY entry = header->WaitListHead.Flink; entry != &header->WaitListHead;
         entry = entry->Flink) {
        ++count;
    }
    return count;
}

NTSTATUS Dispatcher::Wait(PDISPATCHER_HEADER header, Deadline deadline)
{
    std::unique_lock<std::mutex> lock(mutex_);
    RequireValid(header, "KeWaitForSingleObject");
    if (header->SignalState > 0) {
        if (IsSynchronization(header->Type)) {
            header->SignalState = 0;
        }
        return STATUS_SUCCESS;
    }
    WaitBlock block;
    InsertTailList(&header->WaitListHead, &block.Entry);
    auto satisfied = [&block] { return block.Satisfied; };
    if (!deadline) {
        block.Wake.wait(lock, satisfied);
        return STATUS_SUCCESS;
    }
    if (block.Wake.wait_until(lock, *deadline, satisfied)) {
        return STATUS_SUCCESS;
    }
    RemoveEntryList(&block.Entry);
    return STATUS_TIMEOUT;
}

}  // namespace host
