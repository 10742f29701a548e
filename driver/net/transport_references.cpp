#include "net/transport_references.h"

#include "net/transport_file.h"

namespace {

// Takes one reference away unless none is left; true when it was the last.
bool DropReference(volatile LONG* Count)
{
    for (;;) {
        LONG current = *Count;
        if (current <= 0) {
            return false;
        }
        if (InterlockedCompareExchange(Count, current - 1, current) == current) {
            return current == 1;
        }
    }
}

void CloseAddress(TransportAddressObject* Address)
{
    if (Address->ControlIrp != nullptr) {
        IoFreeIrp(Address->ControlIrp);
        Address->ControlIrp = nullptr;
    }
    CloseTransportFile(&Address->Handle, &Address->FileObject);
}

void LeaveEndpointList(ConnectionEndpoint* Endpoint)
{
    if (Endpoint->Links.Flink != nullptr) {
        RemoveEntryList(&Endpoint->Links);
        Endpoint->Links.Flink = nullptr;
        Endpoint->Links.Blink = nullptr;
    }
}

void CloseEndpoint(ConnectionEndpoint* Endpoint)
{
    TransportAddressObject* address = Endpoint->AddressObject;
    Endpoint->AddressObject = nullptr;
    ReleaseAddress(address);
    LeaveEndpointList(Endpoint);
    CloseTransportFile(&Endpoint->Handle, &Endpoint->FileObject);
    if (Endpoint->Closer != nullptr) {
        KeSetEvent(&Endpoint->Closer->Closed, IO_NO_INCREMENT, FALSE);
    }
}

VOID NTAPI CloseEndpointAtPassive(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    CloseEndpoint(static_cast<ConnectionEndpoint*>(Context));
}

// ZwClose is not allowed above PASSIVE_LEVEL.
bool MustDeferClose(const ConnectionEndpoint* Endpoint)
{
    return KeGetCurrentIrql() > PASSIVE_LEVEL && Endpoint->Closer != nullptr &&
           Endpoint->Closer->WorkItem != nullptr;
}

}  // namespace

void ReferenceAddress(TransportAddressObject* Address)
{
    if (Address != nullptr) {
        InterlockedIncrement(&Address->ReferenceCount);
    }
}

void ReleaseAddress(TransportAddressObject* Address)
{
    if (Address != nullptr && DropReference(&Address->ReferenceCount)) {
        CloseAddress(Address);
    }
}

void ReferenceEndpoint(ConnectionEndpoint* Endpoint)
{
    InterlockedIncrement(&Endpoint->ReferenceCount);
}

void ReleaseEndpoint(ConnectionEndpoint* Endpoint)
{
    if (!DropReference(&Endpoint->ReferenceCount)) {
        return;
    }
    if (MustDeferClose(Endpoint)) {
        IoQueueWorkItem(Endpoint->Closer->WorkItem, CloseEndpointAtPassive, DelayedWorkQueue,
                        Endpoint);
        return;
    }
    CloseEndpoint(Endpoint);
}
