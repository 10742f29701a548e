#include "net/transport_control.h"

#include "net/transport_address.h"
#include "net/transport_references.h"
#include "net/transport_request.h"

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
    PIO_STACK_LOCATION stack = PrepareTransportRequest(irp, TDI_SET_EVENT_HANDLER, Address->FileObject);
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
    PIO_STACK_LOCATION stack = PrepareTransportRequest(irp, TDI_ASSOCIATE_ADDRESS, Endpoint->FileObject);
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
        NTSTATUS status = SetEventHandler(Address, registration.EventType, registration.Handler,
                                          EventContext);
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
