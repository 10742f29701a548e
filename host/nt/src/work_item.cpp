// Work items: routines queued from any IRQL up to DISPATCH_LEVEL that run
// on the system worker thread at PASSIVE_LEVEL.
#include "callback_check.h"
#include "device_table.h"
#include "kernel_impl.h"
#include "low_resources.h"
#include "thread_state.h"
#include "verifier.h"
#include "verifier_rules.h"
#include "work_item_table.h"
#include "worker.h"

#include <cstdio>
#include <new>

namespace host {

WorkItemTable::WorkItemTable(Worker& worker, DeviceTable& devices)
    : worker_(worker), devices_(devices)
{
}

PIO_WORKITEM WorkItemTable::Allocate(PDEVICE_OBJECT device)
{
    auto* item = new (std::nothrow) _IO_WORKITEM{device, false};
    if (item != nullptr) {
        std::lock_guard<std::mutex> lock(mutex_);
        items_.insert(item);
    }
    return item;
}

void WorkItemTable::RequireAllocated(PIO_WORKITEM item, const char* routine) const
{
    if (items_.count(item) == 0) {
        verifier::BugCheck(rule::kVerifierViolation,
                           std::string(routine) + " on a work item that is not allocated");
    }
}

void WorkItemTable::Free(PIO_WORKITEM item)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        RequireAllocated(item, "IoFreeWorkItem");
        if (item->Queued) {
            verifier::BugCheck(rule::kVerifierViolation, "IoFreeWorkItem on a queued work item");
        }
        items_.erase(item);
    }
    delete item;
}

void WorkItemTable::Queue(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, PVOID context)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        RequireAllocated(item, "IoQueueWorkItem");
        if (item->Queued) {
            verifier::BugCheck(rule::kVerifierViolation, "IoQueueWorkItem on a queued work item");
        }
        item->Queued = true;
    }
    devices_.AddKernelReference(item->DeviceObject);
    worker_.Queue([this, item, routine, context] { Run(item, routine, context); });
}

void WorkItemTable::Run(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, PVOID context)
{
    PDEVICE_OBJECT device = item->DeviceObject;
    {
        // The routine may queue the item again, or free it.
        std::lock_guard<std::mutex> lock(mutex_);
        item->Queued = false;
    }
    const thread_state::DriverScope inDriver;
    const thread_state::Snapshot before = thread_state::Take();
    routine(device, context);
    verifier::RequireUnchanged(before, "work item routine");
    devices_.ReleaseKernelReference(device);
}

std::vector<std::string> WorkItemTable::Allocated() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> lines;
    for (PIO_WORKITEM item : items_) {
        char text[64];
        std::snprintf(text, sizeof(text), "work item %p", static_cast<void*>(item));
        lines.push_back(text);
    }
    return lines;
}

std::size_t WorkItemTable::QueuedCount() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t queued = 0;
    for (PIO_WORKITEM item : items_) {
        queued += item->Queued ? 1 : 0;
    }
    return queued;
}

}  // namespace host

extern "C" {

PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject)
{
    host::verifier::RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateWorkItem");
    // Windows references the device when the item is queued: a null one
    // faults there, long after the call that was wrong.
    if (DeviceObject == nullptr) {
        host::verifier::BugCheck(host::rule::kVerifierViolation,
                                 "IoAllocateWorkItem for a null device object");
    }
    if (host::SimulateLowResources("IoAllocateWorkItem")) {
        return nullptr;
    }
    return host::Internals().WorkItems().Allocate(DeviceObject);
}

VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem)
{
    host::verifier::RequireIrqlAtMost(DISPATCH_LEVEL, "IoFreeWorkItem");
    host::Internals().WorkItems().Free(IoWorkItem);
}

VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                           WORK_QUEUE_TYPE QueueType, PVOID Context)
{
    UNREFERENCED_PARAMETER(QueueType);
    host::verifier::RequireIrqlAtMost(DISPATCH_LEVEL, "IoQueueWorkItem");
    host::Internals().WorkItems().Queue(IoWorkItem, WorkerRoutine, Context);
}

}  // extern "C"
