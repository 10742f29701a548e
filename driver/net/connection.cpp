#include "net/connection.h"

#include "core/devices.h"
#include "core/module_extension.h"
#include "net/module_control.h"
#include "net/transport.h"

namespace {

// Relative times in 100 ns units.
constexpr LONGLONG SEND_TIMEOUT = -10000000;       // 1 s
constexpr LONGLONG CONNECT_TIMEOUT = -1000000;     // 100 ms
constexpr LONGLONG DISCONNECT_TIMEOUT = -1000000;  // 100 ms

// Disconnect waits up to 20 x 100 ms for the peer to close its side.
constexpr ULONG PEER_DISCONNECT_POLLS = 20;
constexpr ULONG PEER_DISCONNECT_POLL_MICROSECONDS = 100000;

// The receive buffer keeps one byte beyond what a receive may fill, so a
// receive's text can always be terminated.
constexpr ULONG RECEIVE_BUFFER_ALLOCATION = CONNECTION_BUFFER_SIZE + 1;

constexpr ULONG TDI_NO_FLAGS = 0;

void FreeBuffer(PUCHAR* Buffer)
{
    if (*Buffer != nullptr) {
        ExFreePool(*Buffer);
        *Buffer = nullptr;
    }
}

void SetTimeouts(ConnectionRecord* Connection)
{
    Connection->SendTimeout.QuadPart = SEND_TIMEOUT;
    Connection->ConnectTimeout.QuadPart = CONNECT_TIMEOUT;
    Connection->DisconnectTimeout.QuadPart = DISCONNECT_TIMEOUT;
}

NTSTATUS AllocateBuffers(ConnectionRecord* Connection)
{
    Connection->SendBuffer =
        static_cast<PUCHAR>(ExAllocatePool(NonPagedPool, CONNECTION_BUFFER_SIZE));
    Connection->ReceiveBuffer =
        static_cast<PUCHAR>(ExAllocatePool(NonPagedPool, RECEIVE_BUFFER_ALLOCATION));
    SetTimeouts(Connection);
    if (Connection->SendBuffer == nullptr || Connection->ReceiveBuffer == nullptr) {
        FreeBuffer(&Connection->SendBuffer);
        FreeBuffer(&Connection->ReceiveBuffer);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

// Buffers, the locked receive buffer, and what runs the endpoint's close.
NTSTATUS AcquireResources(ConnectionRecord* Connection)
{
    NTSTATUS status = AllocateBuffers(Connection);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Connection->ReceiveMdl = LockBuffer(Connection->ReceiveBuffer, CONNECTION_BUFFER_SIZE);
    if (Connection->ReceiveMdl == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return PrepareEndpointCloser(&Connection->Closer, Connection->OwnerDevice);
}

NTSTATUS OpenTransportObjects(ConnectionRecord* Connection)
{
    BuildIpAddress(&Connection->LocalAddress, 0, 0);
    NTSTATUS status = OpenTransportAddress(
        TCP_DEVICE_NAME, reinterpret_cast<const TRANSPORT_ADDRESS*>(&Connection->LocalAddress),
        &Connection->AddressObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status =
        CreateConnectionEndpoint(TCP_DEVICE_NAME, &Connection->AddressObject, &Connection->Endpoint,
                                 &Connection->Endpoint, &Connection->Closer);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    TransportEventHandlers handlers = {};
    handlers.Disconnect = DisconnectEventHandler;
    handlers.Error = ErrorEventHandler;
    handlers.Receive = ReceiveEventHandler;
    handlers.ReceiveExpedited = ReceiveEventHandler;
    return SetEventHandlers(&Connection->AddressObject, Connection, handlers);
}

void ForgetUnread(ConnectionRecord* Connection)
{
    Connection->UnreadOffset = 0;
    Connection->UnreadCount = 0;
}

}  // namespace

NTSTATUS OpenConnection(ConnectionRecord* Connection)
{
    if (Connection->Opened) {
        return STATUS_SUCCESS;
    }
    Connection->PeerDisconnected = 0;
    CloseConnection(Connection);

    NTSTATUS status = AcquireResources(Connection);
    if (NT_SUCCESS(status)) {
        QueryProviderInfo(TCP_DEVICE_NAME, &Connection->ProviderInfo);
        status = OpenTransportObjects(Connection);
    }
    if (!NT_SUCCESS(status)) {
        // Also drops the owner's references on whatever was opened.
        CloseConnection(Connection);
        return status;
    }
    ForgetUnread(Connection);
    OpenReceiveGate(&Connection->Receive);
    Connection->Opened = TRUE;
    return STATUS_SUCCESS;
}

NTSTATUS CloseConnection(ConnectionRecord* Connection)
{
    // No receive may write into the buffers once they are freed.
    CloseReceiveGate(&Connection->Receive);

    ReleaseEndpoint(&Connection->Endpoint);
    RetireEndpointCloser(&Connection->Closer);
    ReleaseAddress(&Connection->AddressObject);

    if (Connection->ReceiveMdl != nullptr) {
        UnlockBuffer(Connection->ReceiveMdl);
        Connection->ReceiveMdl = nullptr;
    }
    FreeBuffer(&Connection->SendBuffer);
    FreeBuffer(&Connection->ReceiveBuffer);
    ForgetUnread(Connection);
    Connection->Opened = FALSE;
    return STATUS_SUCCESS;
}

NTSTATUS Connect(ConnectionRecord* Connection)
{
    if (!Connection->Opened) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    KIRQL irql;
    KeAcquireSpinLock(&Connection->StateLock, &irql);
    const bool connected = Connection->Connected != FALSE;
    const ULONG drops = Connection->Drops;
    KeReleaseSpinLock(&Connection->StateLock, irql);
    if (connected) {
        return STATUS_SUCCESS;
    }
    BuildIpAddress(&Connection->RemoteTransportAddress, Connection->RemoteAddress,
                   Connection->RemotePort);
    NTSTATUS status = TdiConnectRequest(&Connection->Endpoint, &Connection->RemoteTransportAddress,
                                        &Connection->ConnectTimeout);
    // A disconnect reported while the connect was under way wins: the
    // connection it ended is not marked up.
    KeAcquireSpinLock(&Connection->StateLock, &irql);
    Connection->Connected = NT_SUCCESS(status) && Connection->Drops == drops ? TRUE : FALSE;
    KeReleaseSpinLock(&Connection->StateLock, irql);
    return status;
}

NTSTATUS Reconnect(ConnectionRecord* Connection)
{
    if (!Connection->Opened) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    MarkConnectionDown(Connection, false);
    // A module that closed its side gracefully still takes what we sent
    // before, some of it perhaps still with the transport: our side is
    // closed gracefully too, after those bytes. An abort would drop them,
    // though their writes were reported done.
    TdiDisconnectRequest(&Connection->Endpoint, TDI_DISCONNECT_RELEASE,
                         &Connection->DisconnectTimeout);
    // The transport takes no connect while the last connection is not
    // ended at both sides (a module that has not closed, or that reset
    // it); an abort ends it at once and fails its requests.
    TdiDisconnectRequest(&Connection->Endpoint, TDI_DISCONNECT_ABORT,
                         &Connection->DisconnectTimeout);
    ResetReceiveGate(&Connection->Receive);
    return Connect(Connection);
}

bool IsConnected(ConnectionRecord* Connection)
{
    KIRQL irql;
    KeAcquireSpinLock(&Connection->StateLock, &irql);
    const bool connected = Connection->Connected != FALSE;
    KeReleaseSpinLock(&Connection->StateLock, irql);
    return connected;
}

void MarkConnectionDown(ConnectionRecord* Connection, bool ByPeer)
{
    KIRQL irql;
    KeAcquireSpinLock(&Connection->StateLock, &irql);
    Connection->Connected = FALSE;
    if (ByPeer) {
        Connection->PeerDisconnected = TRUE;
        ++Connection->Drops;
    }
    KeReleaseSpinLock(&Connection->StateLock, irql);
}

NTSTATUS Disconnect(ConnectionRecord* Connection)
{
    if (!IsConnected(Connection)) {
        return STATUS_SUCCESS;
    }
    NTSTATUS status =
        TdiDisconnectRequest(&Connection->Endpoint, TDI_NO_FLAGS, &Connection->DisconnectTimeout);
    MarkConnectionDown(Connection, false);
    // A disconnect that never went out, short of resources, gets no answer.
    const ULONG polls = status == STATUS_INSUFFICIENT_RESOURCES ? 0 : PEER_DISCONNECT_POLLS;
    for (ULONG poll = 0; !Connection->PeerDisconnected && poll < polls; ++poll) {
        DelayMicroseconds(PEER_DISCONNECT_POLL_MICROSECONDS);
    }
    return status;
}

NTSTATUS SendConnection(ConnectionRecord* Connection)
{
    if (!Connection->Opened) {
        return STATUS_UNSUCCESSFUL;
    }
    // SendBuffer is the record's own nonpaged pool.
    Connection->SendMdl = LockBuffer(Connection->SendBuffer, Connection->SendLength);
    if (Connection->SendMdl == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    NTSTATUS status =
        TdiSendRequest(&Connection->Endpoint, nullptr, nullptr, &Connection->SendStatus,
                       Connection->SendMdl, TDI_SEND_PARTIAL, &Connection->SendTimeout);
    UnlockBuffer(Connection->SendMdl);
    Connection->SendMdl = nullptr;
    return status;
}

NTSTATUS PostReceive(ConnectionRecord* Connection, CompletionCallback Callback, PVOID Context)
{
    PMDL mdl = Connection->ReceiveMdl;
    if (mdl == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;  // not open
    }
    mdl->Next = nullptr;
    return TdiReceiveRequest(&Connection->Endpoint, Callback, Context, &Connection->ReceiveStatus,
                             mdl, TDI_NO_FLAGS, nullptr, &Connection->Receive);
}

namespace {

// Called with the gate's lock held.
void EndOneReceive(ReceiveGate* Gate)
{
    if (--Gate->InFlight == 0) {
        KeSetEvent(&Gate->Idle, IO_NO_INCREMENT, FALSE);
    }
}

}  // namespace

void OpenReceiveGate(ReceiveGate* Gate)
{
    KeInitializeSpinLock(&Gate->Lock);
    KeInitializeEvent(&Gate->Idle, NotificationEvent, TRUE);
    Gate->Accepting = TRUE;
    Gate->HeldIrpEnded = FALSE;
    Gate->Posted = nullptr;
    Gate->Held = nullptr;
    Gate->InFlight = 0;
}

ReceiveAdmission AdmitReceive(ReceiveGate* Gate, PIRP Irp)
{
    KIRQL irql;
    KeAcquireSpinLock(&Gate->Lock, &irql);
    ReceiveAdmission admission = ReceiveAdmission::Admitted;
    if (!Gate->Accepting) {
        admission = ReceiveAdmission::Closed;
    } else if (Gate->Posted != nullptr) {
        admission = ReceiveAdmission::AlreadyPosted;
    } else {
        Gate->Posted = Irp;
        if (Gate->InFlight++ == 0) {
            KeClearEvent(&Gate->Idle);
        }
    }
    KeReleaseSpinLock(&Gate->Lock, irql);
    return admission;
}

void ReceiveReturned(ReceiveGate* Gate, PIRP Irp)
{
    KIRQL irql;
    KeAcquireSpinLock(&Gate->Lock, &irql);
    if (Gate->Posted == Irp) {
        Gate->Posted = nullptr;
    }
    KeReleaseSpinLock(&Gate->Lock, irql);
}

void ReceiveFinished(ReceiveGate* Gate, PIRP Irp)
{
    KIRQL irql;
    KeAcquireSpinLock(&Gate->Lock, &irql);
    if (Gate->Held == Irp) {
        Gate->HeldIrpEnded = TRUE;  // the canceller frees it once IoCancelIrp has returned
    } else {
        FreeTransportIrp(Irp);
        EndOneReceive(Gate);
    }
    KeReleaseSpinLock(&Gate->Lock, irql);
}

void ResetReceiveGate(ReceiveGate* Gate)
{
    CloseReceiveGate(Gate);
    KIRQL irql;
    KeAcquireSpinLock(&Gate->Lock, &irql);
    Gate->Accepting = TRUE;
    KeReleaseSpinLock(&Gate->Lock, irql);
}

void CloseReceiveGate(ReceiveGate* Gate)
{
    KIRQL irql;
    KeAcquireSpinLock(&Gate->Lock, &irql);
    Gate->Accepting = FALSE;
    PIRP posted = Gate->Posted;
    Gate->Held = posted;
    const bool busy = Gate->InFlight != 0;
    KeReleaseSpinLock(&Gate->Lock, irql);
    if (!busy) {
        return;
    }

    if (posted != nullptr) {
        // The IRP cannot be freed under us: its completion leaves it to us
        // while we hold it.
        IoCancelIrp(posted);
        KeAcquireSpinLock(&Gate->Lock, &irql);
        Gate->Held = nullptr;
        if (Gate->HeldIrpEnded) {
            Gate->HeldIrpEnded = FALSE;
            FreeTransportIrp(posted);
            EndOneReceive(Gate);
        }
        KeReleaseSpinLock(&Gate->Lock, irql);
    }
    KeWaitForSingleObject(&Gate->Idle, Executive, KernelMode, FALSE, nullptr);
}

NTSTATUS NTAPI DisconnectEventHandler(PVOID TdiEventContext, CONNECTION_CONTEXT ConnectionContext,
                                      LONG DisconnectDataLength, PVOID DisconnectData,
                                      LONG DisconnectInformationLength, PVOID DisconnectInformation,
                                      ULONG DisconnectFlags)
{
    UNREFERENCED_PARAMETER(ConnectionContext);
    UNREFERENCED_PARAMETER(DisconnectDataLength);
    UNREFERENCED_PARAMETER(DisconnectData);
    UNREFERENCED_PARAMETER(DisconnectInformationLength);
    UNREFERENCED_PARAMETER(DisconnectInformation);
    UNREFERENCED_PARAMETER(DisconnectFlags);
    MarkConnectionDown(static_cast<ConnectionRecord*>(TdiEventContext), true);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ReceiveEventHandler(PVOID TdiEventContext, CONNECTION_CONTEXT ConnectionContext,
                                   ULONG ReceiveFlags, ULONG BytesIndicated, ULONG BytesAvailable,
                                   ULONG* BytesTaken, PVOID Tsdu, PIRP* IoRequestPacket)
{
    UNREFERENCED_PARAMETER(TdiEventContext);
    UNREFERENCED_PARAMETER(ConnectionContext);
    UNREFERENCED_PARAMETER(ReceiveFlags);
    UNREFERENCED_PARAMETER(BytesIndicated);
    UNREFERENCED_PARAMETER(BytesAvailable);
    UNREFERENCED_PARAMETER(Tsdu);
    // Data waits with the transport for the receive the driver keeps posted.
    *BytesTaken = 0;
    *IoRequestPacket = nullptr;
    return STATUS_DATA_NOT_ACCEPTED;
}

NTSTATUS NTAPI ErrorEventHandler(PVOID TdiEventContext, NTSTATUS Status)
{
    UNREFERENCED_PARAMETER(TdiEventContext);
    UNREFERENCED_PARAMETER(Status);
    return STATUS_SUCCESS;
}

namespace {

constexpr ULONG HUNDRED_NS_PER_MICROSECOND = 10;

}  // namespace

NTSTATUS DelayMicroseconds(ULONG Microseconds)
{
    // The interval is formed in 32 bits and sign-extended.
    LONG ticks = -static_cast<LONG>(Microseconds * HUNDRED_NS_PER_MICROSECOND);
    LARGE_INTEGER interval;
    interval.QuadPart = ticks;
    return KeDelayExecutionThread(KernelMode, TRUE, &interval);
}

NTSTATUS NTAPI ModuleCreate(PDEVICE_OBJECT ModuleDevice, PIRP Irp)
{
    UNREFERENCED_PARAMETER(Irp);
    ModuleExtension* module = ModuleExtensionOf(ModuleDevice);
    if (module->OpenPortCount != 0) {
        return STATUS_SUCCESS;
    }
    ConnectionRecord* control = &module->ControlConnection;
    if (!control->Opened) {
        NTSTATUS status = OpenConnection(control);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    NTSTATUS status = Connect(control);
    if (NT_SUCCESS(status)) {
        status = StartControlReceive(module);
    }
    return status;
}

NTSTATUS NTAPI ModuleClose(PDEVICE_OBJECT ModuleDevice, PIRP Irp)
{
    UNREFERENCED_PARAMETER(Irp);
    ModuleExtension* module = ModuleExtensionOf(ModuleDevice);
    if (module->OpenPortCount != 0 || AnyPortOpen(module)) {
        return STATUS_SUCCESS;
    }
    Disconnect(&module->ControlConnection);
    CloseConnection(&module->ControlConnection);
    return STATUS_SUCCESS;
}
