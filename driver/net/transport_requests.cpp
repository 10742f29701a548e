#include "net/transport.h"

#include "net/connection.h"

#include <tdikrnl.h>

PMDL LockBuffer(PVOID VirtualAddress, ULONG Length)
{
    PMDL mdl = IoAllocateMdl(VirtualAddress, Length, FALSE, FALSE, nullptr);
    if (mdl == nullptr) {
        return nullptr;
    }
    // MmProbeAndLockPages raises when a page cannot be made resident, and
    // this compiler has no structured exception handling to catch it. The
    // driver only locks nonpaged memory it owns, which cannot fault.
    MmProbeAndLockPages(mdl, KernelMode, IoModifyAccess);
    mdl->Next = nullptr;
    return mdl;
}

void UnlockBuffer(PMDL Mdl)
{
    MmUnlockPages(Mdl);
    IoFreeMdl(Mdl);
}

PIO_STACK_LOCATION PrepareTransportRequest(PIRP Irp, UCHAR MinorFunction, PFILE_OBJECT FileObject)
{
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(Irp);
    stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    stack->MinorFunction = MinorFunction;
    stack->DeviceObject = IoGetRelatedDeviceObject(FileObject);
    stack->FileObject = FileObject;
    return stack;
}

void SetTransportCompletion(PIRP Irp, PIO_COMPLETION_ROUTINE Routine, PVOID Context)
{
    IoSetCompletionRoutine(Irp, Routine, Context, TRUE, TRUE, TRUE);
}

NTSTATUS NTAPI SignalCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    if (Context != nullptr) {
        KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS CallTransportAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    KEVENT completed;
    KeInitializeEvent(&completed, NotificationEvent, FALSE);
    SetTransportCompletion(Irp, SignalCompletion, &completed);
    NTSTATUS status = IofCallDriver(DeviceObject, Irp);
    if (status != STATUS_PENDING && status != STATUS_SUCCESS) {
        return status;
    }
    KeWaitForSingleObject(&completed, Executive, KernelMode, FALSE, nullptr);
    return Irp->IoStatus.Status;
}

void FreeTransportIrp(PIRP Irp)
{
    Irp->MdlAddress = nullptr;
    IoFreeIrp(Irp);
}

namespace {

// The control request is reused request after request. Each one completes
// into SignalCompletion at the top of the IRP, which leaves its stack where
// a fresh IRP's is; only the outcome of the last request needs clearing.
PIRP ReuseControlRequest(TransportAddressObject* Address)
{
    PIRP irp = Address->ControlIrp;
    irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
    irp->IoStatus.Information = 0;
    irp->PendingReturned = FALSE;
    return irp;
}

NTSTATUS CallThroughAddress(PIRP Irp, PIO_STACK_LOCATION Stack)
{
    return CallTransportAndWait(Stack->DeviceObject, Irp);
}

NTSTATUS SetEventHandler(TransportAddressObject* Address, LONG EventType, PVOID Handler,
                         PVOID EventContext)
{
    PIRP irp = ReuseControlRequest(Address);
    PIO_STACK_LOCATION stack =
        PrepareTransportRequest(irp, TDI_SET_EVENT_HANDLER, Address->FileObject);
    auto* parameters = TransportParameters<TDI_REQUEST_KERNEL_SET_EVENT>(stack);
    parameters->EventType = EventType;
    parameters->EventHandler = Handler;
    parameters->EventContext = EventContext;
    return CallThroughAddress(irp, stack);
}

template <typename Handler>
PVOID HandlerAddress(Handler Routine)
{
    return reinterpret_cast<PVOID>(Routine);
}

}  // namespace

NTSTATUS AssociateAddress(TransportAddressObject* Address, ConnectionEndpoint* Endpoint)
{
    Endpoint->AddressObject = nullptr;
    Endpoint->AssociationStatus = STATUS_UNSUCCESSFUL;

    PIRP irp = ReuseControlRequest(Address);
    PIO_STACK_LOCATION stack =
        PrepareTransportRequest(irp, TDI_ASSOCIATE_ADDRESS, Endpoint->FileObject);
    TransportParameters<TDI_REQUEST_KERNEL_ASSOCIATE>(stack)->AddressHandle = Address->Handle;
    NTSTATUS status = CallThroughAddress(irp, stack);

    Endpoint->AssociationStatus = status;
    if (NT_SUCCESS(status)) {
        Endpoint->AddressObject = Address;
        ReferenceAddress(Address);
    }
    return status;
}

NTSTATUS SetEventHandlers(TransportAddressObject* Address, PVOID EventContext,
                          const TransportEventHandlers& Handlers)
{
    const struct {
        LONG EventType;
        PVOID Handler;
    } registrations[] = {
        {TDI_EVENT_CONNECT, HandlerAddress(Handlers.Connect)},
        {TDI_EVENT_DISCONNECT, HandlerAddress(Handlers.Disconnect)},
        {TDI_EVENT_ERROR, HandlerAddress(Handlers.Error)},
        {TDI_EVENT_RECEIVE, HandlerAddress(Handlers.Receive)},
        {TDI_EVENT_RECEIVE_EXPEDITED, HandlerAddress(Handlers.ReceiveExpedited)},
    };
    for (const auto& registration : registrations) {
        NTSTATUS status =
            SetEventHandler(Address, registration.EventType, registration.Handler, EventContext);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS TdiConnectRequest(ConnectionEndpoint* Endpoint, const TA_IP_ADDRESS* RemoteAddress,
                           const LARGE_INTEGER* Timeout)
{
    LARGE_INTEGER timeout = *Timeout;
    TDI_CONNECTION_INFORMATION request;
    RtlZeroMemory(&request, sizeof(request));
    request.RemoteAddressLength = sizeof(TA_IP_ADDRESS);
    request.RemoteAddress = const_cast<TA_IP_ADDRESS*>(RemoteAddress);

    TransportAddressObject* address = Endpoint->AddressObject;
    if (address == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;  // never associated: nothing to connect
    }
    PIRP irp = ReuseControlRequest(address);
    PIO_STACK_LOCATION stack = PrepareTransportRequest(irp, TDI_CONNECT, Endpoint->FileObject);
    auto* parameters = TransportParameters<TDI_REQUEST_KERNEL_CONNECT>(stack);
    parameters->RequestFlags = 0;
    parameters->RequestConnectionInformation = &request;
    parameters->ReturnConnectionInformation = nullptr;
    parameters->RequestSpecific = &timeout;
    return CallThroughAddress(irp, stack);
}

namespace {

// Request contexts may come from anywhere in physical memory.
PHYSICAL_ADDRESS HighestAcceptableAddress()
{
    PHYSICAL_ADDRESS highest;
    highest.QuadPart = -1;
    return highest;
}

RequestContext* NewRequestContext(ConnectionEndpoint* Endpoint, PIO_STATUS_BLOCK StatusBlock)
{
    PVOID memory = nullptr;
    if (NdisAllocateMemory(&memory, sizeof(RequestContext), NDIS_PLAIN_MEMORY,
                           HighestAcceptableAddress()) != NDIS_ALLOCATION_SUCCEEDED ||
        memory == nullptr) {
        return nullptr;
    }
    auto* request = static_cast<RequestContext*>(memory);
    RtlZeroMemory(request, sizeof(*request));
    request->StatusBlock = StatusBlock != nullptr ? StatusBlock : &request->OwnStatus;
    request->Endpoint = Endpoint;
    return request;
}

void FreeRequestContext(RequestContext* Request)
{
    NdisFreeMemory(Request, sizeof(*Request), NDIS_PLAIN_MEMORY);
}

// With a callback the request runs on its own; without one the issuer waits
// on an event in its own frame.
void ChooseMode(RequestContext* Request, CompletionCallback Callback, PVOID CallbackContext,
                PKEVENT Completed)
{
    if (Callback != nullptr) {
        Request->Callback = Callback;
        Request->CallbackContext = CallbackContext;
        return;
    }
    KeInitializeEvent(Completed, NotificationEvent, FALSE);
    Request->Event = Completed;
    Request->Synchronous = TRUE;
}

PDEVICE_OBJECT TransportOf(const ConnectionEndpoint* Endpoint)
{
    return IoGetRelatedDeviceObject(Endpoint->FileObject);
}

ULONG ChainLength(PMDL Mdl)
{
    ULONG length = 0;
    for (; Mdl != nullptr; Mdl = Mdl->Next) {
        length += Mdl->ByteCount;
    }
    return length;
}

// A send and a receive carry the same two parameters: the chain's length and
// the caller's flags.
void FillTransfer(PIRP Irp, UCHAR MinorFunction, const ConnectionEndpoint* Endpoint, PMDL Mdl,
                  ULONG Flags)
{
    Irp->MdlAddress = Mdl;
    PIO_STACK_LOCATION stack = PrepareTransportRequest(Irp, MinorFunction, Endpoint->FileObject);
    if (MinorFunction == TDI_SEND) {
        auto* parameters = TransportParameters<TDI_REQUEST_KERNEL_SEND>(stack);
        parameters->SendLength = ChainLength(Mdl);
        parameters->SendFlags = Flags;
    } else {
        auto* parameters = TransportParameters<TDI_REQUEST_KERNEL_RECEIVE>(stack);
        parameters->ReceiveLength = ChainLength(Mdl);
        parameters->ReceiveFlags = Flags;
    }
}

void FillDisconnect(PIRP Irp, const ConnectionEndpoint* Endpoint, ULONG Flags,
                    PLARGE_INTEGER Timeout)
{
    PIO_STACK_LOCATION stack = PrepareTransportRequest(Irp, TDI_DISCONNECT, Endpoint->FileObject);
    auto* parameters = TransportParameters<TDI_REQUEST_KERNEL_DISCONNECT>(stack);
    parameters->RequestFlags = Flags;
    parameters->RequestConnectionInformation = nullptr;
    parameters->ReturnConnectionInformation = nullptr;
    parameters->RequestSpecific = Timeout;
}

// A synchronous request's issuer waits for it and frees its IRP. A wait
// that runs out cancels the request and waits for it to finish.
NTSTATUS WaitForRequest(PIRP Irp, NTSTATUS CallStatus, PKEVENT Completed, PLARGE_INTEGER Timeout)
{
    if (CallStatus != STATUS_SUCCESS && CallStatus != STATUS_PENDING) {
        FreeTransportIrp(Irp);
        return CallStatus;
    }
    NTSTATUS status = KeWaitForSingleObject(Completed, Executive, KernelMode, FALSE, Timeout);
    if (status == STATUS_TIMEOUT) {
        IoCancelIrp(Irp);
        KeWaitForSingleObject(Completed, Executive, KernelMode, FALSE, nullptr);
    } else {
        status = Irp->IoStatus.Status;
    }
    FreeTransportIrp(Irp);
    return status;
}

// Hands the prepared request to the transport. From here on an asynchronous
// request belongs to RequestCompletion.
NTSTATUS Issue(ConnectionEndpoint* Endpoint, RequestContext* Request, PIRP Irp, PKEVENT Completed,
               PLARGE_INTEGER WaitTimeout)
{
    const bool synchronous = Request->Synchronous != FALSE;
    SetTransportCompletion(Irp, RequestCompletion, Request);
    ReferenceEndpoint(Endpoint);
    Request->StatusBlock->Status = STATUS_UNSUCCESSFUL;
    Request->StatusBlock->Information = 0;
    NTSTATUS status = IofCallDriver(TransportOf(Endpoint), Irp);
    if (!synchronous) {
        return status;
    }
    return WaitForRequest(Irp, status, Completed, WaitTimeout);
}

// A receive that is not the gate's to post goes nowhere.
NTSTATUS Refused(ReceiveAdmission Admission)
{
    return Admission == ReceiveAdmission::AlreadyPosted ? STATUS_SUCCESS
                                                        : STATUS_INVALID_DEVICE_STATE;
}

struct PreparedRequest {
    RequestContext* Request;
    PIRP Irp;
};

// The context and IRP of a request on an open endpoint; on failure nothing
// is left allocated.
NTSTATUS Prepare(ConnectionEndpoint* Endpoint, CompletionCallback Callback, PVOID CallbackContext,
                 PIO_STATUS_BLOCK StatusBlock, PKEVENT Completed, PreparedRequest* Prepared)
{
    if (Endpoint->FileObject == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;  // not open: nothing to do it on
    }
    RequestContext* request = NewRequestContext(Endpoint, StatusBlock);
    if (request == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ChooseMode(request, Callback, CallbackContext, Completed);
    PIRP irp = IoAllocateIrp(TransportOf(Endpoint)->StackSize, FALSE);
    if (irp == nullptr) {
        FreeRequestContext(request);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *Prepared = {request, irp};
    return STATUS_SUCCESS;
}

// A send, or a receive; only an asynchronous receive with a gate is the
// connection's standing receive.
NTSTATUS Transfer(UCHAR MinorFunction, ConnectionEndpoint* Endpoint, CompletionCallback Callback,
                  PVOID CallbackContext, PIO_STATUS_BLOCK StatusBlock, PMDL Mdl, ULONG Flags,
                  PLARGE_INTEGER WaitTimeout, ReceiveGate* Gate)
{
    KEVENT completed;
    PreparedRequest prepared;
    NTSTATUS status =
        Prepare(Endpoint, Callback, CallbackContext, StatusBlock, &completed, &prepared);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    FillTransfer(prepared.Irp, MinorFunction, Endpoint, Mdl, Flags);
    if (Gate != nullptr && Callback != nullptr) {
        ReceiveAdmission admission = AdmitReceive(Gate, prepared.Irp);
        if (admission != ReceiveAdmission::Admitted) {
            FreeTransportIrp(prepared.Irp);
            FreeRequestContext(prepared.Request);
            return Refused(admission);
        }
        prepared.Request->Gate = Gate;
    }
    return Issue(Endpoint, prepared.Request, prepared.Irp, &completed, WaitTimeout);
}

}  // namespace

NTSTATUS TdiSendRequest(ConnectionEndpoint* Endpoint, CompletionCallback Callback,
                        PVOID CallbackContext, PIO_STATUS_BLOCK StatusBlock, PMDL Mdl,
                        ULONG SendFlags, PLARGE_INTEGER WaitTimeout)
{
    return Transfer(TDI_SEND, Endpoint, Callback, CallbackContext, StatusBlock, Mdl, SendFlags,
                    WaitTimeout, nullptr);
}

NTSTATUS TdiReceiveRequest(ConnectionEndpoint* Endpoint, CompletionCallback Callback,
                           PVOID CallbackContext, PIO_STATUS_BLOCK StatusBlock, PMDL Mdl,
                           ULONG ReceiveFlags, PLARGE_INTEGER WaitTimeout, ReceiveGate* Gate)
{
    return Transfer(TDI_RECEIVE, Endpoint, Callback, CallbackContext, StatusBlock, Mdl,
                    ReceiveFlags, WaitTimeout, Gate);
}

NTSTATUS TdiDisconnectRequest(ConnectionEndpoint* Endpoint, ULONG DisconnectFlags,
                              const LARGE_INTEGER* Timeout)
{
    LARGE_INTEGER timeout = *Timeout;
    KEVENT completed;
    PreparedRequest prepared;
    NTSTATUS status = Prepare(Endpoint, nullptr, nullptr, nullptr, &completed, &prepared);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    FillDisconnect(prepared.Irp, Endpoint, DisconnectFlags, &timeout);
    return Issue(Endpoint, prepared.Request, prepared.Irp, &completed, nullptr);
}

NTSTATUS NTAPI RequestCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    auto* request = static_cast<RequestContext*>(Context);
    if (request == nullptr) {
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    ReceiveGate* gate = request->Gate;
    if (gate != nullptr) {
        ReceiveReturned(gate, Irp);
    }
    request->StatusBlock->Status = Irp->IoStatus.Status;
    request->StatusBlock->Information = Irp->IoStatus.Information;
    if (request->Event != nullptr) {
        KeSetEvent(request->Event, IO_NO_INCREMENT, FALSE);
    }
    if (request->Callback != nullptr) {
        request->Callback(request->CallbackContext, request->StatusBlock, request->Extra);
    }

    // Everything the request owns goes before the endpoint's reference: that
    // release may be the one a closing connection waits for.
    ConnectionEndpoint* endpoint = request->Endpoint;
    const bool asynchronous = request->Synchronous == FALSE;
    FreeRequestContext(request);
    if (asynchronous) {
        if (gate != nullptr) {
            ReceiveFinished(gate, Irp);
        } else {
            FreeTransportIrp(Irp);
        }
    }
    ReleaseEndpoint(endpoint);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
