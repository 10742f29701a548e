// Work items (IoAllocateWorkItem): each holds a reference on its device
// while queued and runs its routine on the system worker thread.
#pragma once

#include <wdm.h>

#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

struct _IO_WORKITEM {
    PDEVICE_OBJECT DeviceObject;
    bool Queued;
};

namespace host {

class Worker;
class DeviceTable;

class WorkItemTable {
public:
    WorkItemTable(Worker& worker, DeviceTable& devices);

    PIO_WORKITEM Allocate(PDEVICE_OBJECT device);
    void Free(PIO_WORKITEM item);
    void Queue(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, PVOID context);

    std::vector<std::string> Allocated() const;
    std::size_t QueuedCount() const;

private:
    void Run(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, PVOID context);
    void RequireAllocated(PIO_WORKITEM item, const char* routine) const;

    Worker& worker_;
    DeviceTable& devices_;
    mutable std::mutex mutex_;
    std::unordered_set<PIO_WORKITEM> items_;
};

}  // namespace host
