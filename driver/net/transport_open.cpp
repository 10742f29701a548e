#include "net/transport_open.h"

#include "net/ea_buffer.h"
#include "net/transport_address.h"
#include "net/transport_control.h"
#include "net/transport_file.h"
#include "net/transport_references.h"

#include <tdikrnl.h>

namespace {

// Address objects and endpoints are opened for reading, writing and waiting.
constexpr ACCESS_MASK TRANSPORT_OBJECT_ACCESS = GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE;

constexpr UCHAR TRANSPORT_ADDRESS_EA_NAME_LENGTH = sizeof(TdiTransportAddress) - 1;
constexpr UCHAR CONNECTION_CONTEXT_EA_NAME_LENGTH = sizeof(TdiConnectionContext) - 1;

// Creates the file with the EA buffer, which is freed whatever the result.
NTSTATUS CreateWithEa(PCWSTR DeviceName, UCHAR NameLength, PCSTR Name, USHORT ValueLength,
                      const VOID* Value, PHANDLE Handle)
{
    PFILE_FULL_EA_INFORMATION ea = nullptr;
    ULONG eaLength = 0;
    NTSTATUS status = BuildEaBuffer(NameLength, Name, ValueLength, Value, &ea, &eaLength);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = CreateTransportHandle(DeviceName, TRANSPORT_OBJECT_ACCESS, ea, eaLength, Handle);
    ExFreePoolWithTag(ea, 0);
    return status;
}

NTSTATUS AllocateControlRequest(TransportAddressObject* Address)
{
    PDEVICE_OBJECT transport = IoGetRelatedDeviceObject(Address->FileObject);
    Address->ControlIrp = IoAllocateIrp(transport->StackSize, FALSE);
    if (Address->ControlIrp == nullptr) {
        ReleaseAddress(Address);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

NTSTATUS OpenAddressFile(PCWSTR DeviceName, const TRANSPORT_ADDRESS* LocalAddress,
                         TransportAddressObject* Address)
{
    NTSTATUS status = CreateWithEa(DeviceName, TRANSPORT_ADDRESS_EA_NAME_LENGTH, TdiTransportAddress,
                                   static_cast<USHORT>(TransportAddressLength(LocalAddress)),
                                   LocalAddress, &Address->Handle);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = ReferenceTransportFile(&Address->Handle, &Address->FileObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return AllocateControlRequest(Address);
}

}  // namespace

NTSTATUS OpenTransportAddress(PCWSTR DeviceName, const TRANSPORT_ADDRESS* LocalAddress,
                              TransportAddressObject* Address)
{
    Address->Status = STATUS_UNSUCCESSFUL;
    Address->Handle = nullptr;
    Address->FileObject = nullptr;
    Address->ControlIrp = nullptr;
    Address->ReferenceCount = 1;
    InitializeListHead(&Address->EndpointList);

    NTSTATUS status = OpenAddressFile(DeviceName, LocalAddress, Address);
    Address->Status = status;
    return status;
}

NTSTATUS OpenConnectionEndpoint(PCWSTR DeviceName, ConnectionEndpoint* Endpoint, PVOID Context)
{
    Endpoint->OpenStatus = STATUS_UNSUCCESSFUL;
    Endpoint->FileObject = nullptr;

    // The value is the context pointer itself, pointer-sized as the
    // transport hands it back.
    CONNECTION_CONTEXT connectionContext = Context;
    NTSTATUS status = CreateWithEa(DeviceName, CONNECTION_CONTEXT_EA_NAME_LENGTH,
                                   TdiConnectionContext, sizeof(connectionContext),
                                   &connectionContext, &Endpoint->Handle);
    if (NT_SUCCESS(status)) {
        status = ReferenceTransportFile(&Endpoint->Handle, &Endpoint->FileObject);
    }
    Endpoint->OpenStatus = status;
    return status;
}

NTSTATUS CreateConnectionEndpoint(PCWSTR DeviceName, TransportAddressObject* Address,
                                  ConnectionEndpoint* Endpoint, PVOID Context,
                                  EndpointCloser* Closer)
{
    RtlZeroMemory(Endpoint, sizeof(*Endpoint));
    Endpoint->ReferenceCount = 1;
    Endpoint->Closer = Closer;
    KeClearEvent(&Closer->Closed);

    NTSTATUS status = OpenConnectionEndpoint(DeviceName, Endpoint, Context);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = AssociateAddress(Address, Endpoint);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    InsertTailList(&Address->EndpointList, &Endpoint->Links);
    return Endpoint->AssociationStatus;
}
