#include "net/endpoint_closer.h"

NTSTATUS PrepareEndpointCloser(EndpointCloser* Closer, PDEVICE_OBJECT OwnerDevice)
{
    KeInitializeEvent(&Closer->Closed, NotificationEvent, TRUE);
    Closer->WorkItem = IoAllocateWorkItem(OwnerDevice);
    return Closer->WorkItem == nullptr ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS;
}

void RetireEndpointCloser(EndpointCloser* Closer)
{
    if (Closer->WorkItem == nullptr) {
        return;
    }
    KeWaitForSingleObject(&Closer->Closed, Executive, KernelMode, FALSE, nullptr);
    IoFreeWorkItem(Closer->WorkItem);
    Closer->WorkItem = nullptr;
}
