#include "net/transport.h"

#include "core/counted_string.h"

#include <tdikrnl.h>

NTSTATUS BuildEaBuffer(UCHAR NameLength, PCSTR Name, USHORT ValueLength, const VOID* Value,
                       PFILE_FULL_EA_INFORMATION* Buffer, ULONG* BufferLength)
{
    // The header, the name with its NUL, then the value.
    ULONG length = FIELD_OFFSET(FILE_FULL_EA_INFORMATION, EaName) + NameLength + 1 + ValueLength;
    auto* ea = static_cast<PFILE_FULL_EA_INFORMATION>(ExAllocatePool(PagedPool, length));
    *Buffer = ea;
    *BufferLength = 0;
    if (ea == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ea->NextEntryOffset = 0;
    ea->Flags = 0;
    ea->EaNameLength = NameLength;
    ea->EaValueLength = ValueLength;
    RtlCopyMemory(ea->EaName, Name, NameLength);
    ea->EaName[NameLength] = '\0';
    if (Value != nullptr) {
        RtlCopyMemory(ea->EaName + NameLength + 1, Value, ValueLength);
    }
    *BufferLength = length;
    return STATUS_SUCCESS;
}

void BuildIpAddress(TA_IP_ADDRESS* Target, ULONG Address, USHORT Port)
{
    Target->TAAddressCount = 1;
    Target->Address[0].AddressLength = TDI_ADDRESS_LENGTH_IP;
    Target->Address[0].AddressType = TDI_ADDRESS_TYPE_IP;
    Target->Address[0].Address[0].sin_port = Port;
    Target->Address[0].Address[0].in_addr = Address;
}

ULONG TransportAddressLength(const TRANSPORT_ADDRESS* Address)
{
    if (Address == nullptr) {
        return 0;
    }
    ULONG length = TRANSPORT_ADDRESS_HEADER_SIZE;
    const UCHAR* entry = reinterpret_cast<const UCHAR*>(Address->Address);
    for (LONG i = 0; i < Address->TAAddressCount; ++i) {
        const TA_ADDRESS* address = reinterpret_cast<const TA_ADDRESS*>(entry);
        ULONG entryLength = TA_ADDRESS_HEADER_SIZE + address->AddressLength;
        length += entryLength;
        entry += entryLength;
    }
    return length;
}

NTSTATUS CreateTransportHandle(PCWSTR DeviceName, ACCESS_MASK DesiredAccess,
                               PFILE_FULL_EA_INFORMATION EaBuffer, ULONG EaLength, PHANDLE Handle)
{
    CountedString name;
    name.InitFromLiteral(DeviceName);
    UNICODE_STRING deviceName = name.AsUnicodeString();
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &deviceName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    IO_STATUS_BLOCK ioStatus;
    *Handle = nullptr;
    NTSTATUS status =
        ZwCreateFile(Handle, DesiredAccess, &attributes, &ioStatus, nullptr, FILE_ATTRIBUTE_NORMAL,
                     FILE_SHARE_READ, FILE_OPEN_IF, 0, EaBuffer, EaLength);
    if (!NT_SUCCESS(status)) {
        *Handle = nullptr;
    }
    name.Release();
    return status;
}

NTSTATUS ReferenceTransportFile(PHANDLE Handle, PFILE_OBJECT* FileObject)
{
    PVOID object = nullptr;
    NTSTATUS status = ObReferenceObjectByHandle(*Handle, 0, nullptr, KernelMode, &object, nullptr);
    if (!NT_SUCCESS(status)) {
        ZwClose(*Handle);
        *Handle = nullptr;
        object = nullptr;
    }
    *FileObject = static_cast<PFILE_OBJECT>(object);
    return status;
}

void CloseTransportFile(PHANDLE Handle, PFILE_OBJECT* FileObject)
{
    if (*FileObject != nullptr) {
        ObfDereferenceObject(*FileObject);
        *FileObject = nullptr;
    }
    if (*Handle != nullptr) {
        ZwClose(*Handle);
        *Handle = nullptr;
    }
}

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
    NTSTATUS status = CreateWithEa(
        DeviceName, TRANSPORT_ADDRESS_EA_NAME_LENGTH, TdiTransportAddress,
        static_cast<USHORT>(TransportAddressLength(LocalAddress)), LocalAddress, &Address->Handle);
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
    NTSTATUS status =
        CreateWithEa(DeviceName, CONNECTION_CONTEXT_EA_NAME_LENGTH, TdiConnectionContext,
                     sizeof(connectionContext), &connectionContext, &Endpoint->Handle);
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

namespace {

// A control channel is opened without SYNCHRONIZE and without an EA buffer.
constexpr ACCESS_MASK CONTROL_CHANNEL_ACCESS = GENERIC_READ | GENERIC_WRITE;

NTSTATUS QueryThroughChannel(PFILE_OBJECT Channel, TDI_PROVIDER_INFO* Info)
{
    PDEVICE_OBJECT transport = IoGetRelatedDeviceObject(Channel);
    PIRP irp = IoAllocateIrp(transport->StackSize, FALSE);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PMDL mdl = LockBuffer(Info, sizeof(*Info));
    if (mdl == nullptr) {
        FreeTransportIrp(irp);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->MdlAddress = mdl;
    PIO_STACK_LOCATION stack = PrepareTransportRequest(irp, TDI_QUERY_INFORMATION, Channel);
    auto* parameters = TransportParameters<TDI_REQUEST_KERNEL_QUERY_INFORMATION>(stack);
    parameters->QueryType = TDI_QUERY_PROVIDER_INFO;
    parameters->RequestConnectionInformation = nullptr;
    NTSTATUS status = CallTransportAndWait(transport, irp);

    UnlockBuffer(mdl);
    FreeTransportIrp(irp);
    return status;
}

}  // namespace

NTSTATUS QueryProviderInfo(PCWSTR DeviceName, TDI_PROVIDER_INFO* Info)
{
    HANDLE handle = nullptr;
    NTSTATUS status =
        CreateTransportHandle(DeviceName, CONTROL_CHANNEL_ACCESS, nullptr, 0, &handle);
    if (!NT_SUCCESS(status)) {
        DbgPrint("Unable To Open TDI Control Channel\n");
        return status;
    }
    PFILE_OBJECT channel = nullptr;
    status = ReferenceTransportFile(&handle, &channel);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = QueryThroughChannel(channel, Info);
    CloseTransportFile(&handle, &channel);
    return status;
}
