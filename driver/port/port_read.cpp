#include "port/port_read.h"

#include "port/port_reconnect.h"

#include "net/connection.h"
#include "port/serial_wait.h"

namespace {

constexpr ULONG HUNDRED_NS_PER_MILLISECOND = 10000;
// A read waits at most one second, in 100 ns units.
constexpr ULONG LONGEST_READ_WAIT = 10000000;

ULONG ReadLengthOf(PIRP Read)
{
    return IoGetCurrentIrpStackLocation(Read)->Parameters.Read.Length;
}

// ReadTotalTimeoutConstant only chooses between answering at once and
// waiting; its value is not a duration.
bool AnswersAtOnce(const SERIAL_TIMEOUTS& Timeouts)
{
    return Timeouts.ReadTotalTimeoutConstant == 0 || Timeouts.ReadTotalTimeoutConstant == MAXULONG;
}

// ReadIntervalTimeout MAXULONG with both totals 0: return at once with
// whatever is held.
bool ReturnsWhatIsHeld(const SERIAL_TIMEOUTS& Timeouts)
{
    return Timeouts.ReadIntervalTimeout == MAXULONG && Timeouts.ReadTotalTimeoutMultiplier == 0 &&
           Timeouts.ReadTotalTimeoutConstant == 0;
}

// A read is satisfied by its length or by a full buffer: more than the
// buffer holds can never be held at once.
bool EnoughHeld(const PortExtension* Port, PIRP Read)
{
    ULONG wanted = ReadLengthOf(Read);
    if (wanted > PORT_RX_LIMIT) {
        wanted = PORT_RX_LIMIT;
    }
    return Port->RxCount >= wanted;
}

// The wait comes from ReadIntervalTimeout (milliseconds), at most one
// second. In 64 bits: in 100 ns units a long interval passes 32 bits.
ULONG ReadWaitOf(const SERIAL_TIMEOUTS& Timeouts)
{
    ULONGLONG wait = ULONGLONG(Timeouts.ReadIntervalTimeout) * HUNDRED_NS_PER_MILLISECOND;
    return wait > LONGEST_READ_WAIT ? LONGEST_READ_WAIT : static_cast<ULONG>(wait);
}

void QueueRead(PortExtension* Port, PIRP Read)
{
    Port->PendingRead = Read;
    IoMarkIrpPending(Read);
    LARGE_INTEGER dueTime;
    dueTime.QuadPart = -static_cast<LONGLONG>(ReadWaitOf(Port->Timeouts));
    KeSetTimer(&Port->ReadTimer, dueTime, &Port->ReadDpc);
}

NTSTATUS ServeRead(PortExtension* Port, PIRP Read, ULONG* Delivered)
{
    if (Port->PendingRead != nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (EnoughHeld(Port, Read) || ReturnsWhatIsHeld(Port->Timeouts)) {
        *Delivered = CopyOut(Read, Port);
        return STATUS_SUCCESS;
    }
    if (AnswersAtOnce(Port->Timeouts)) {
        return STATUS_SUCCESS;
    }
    QueueRead(Port, Read);
    return STATUS_PENDING;
}

}  // namespace

NTSTATUS NTAPI PortRead(PDEVICE_OBJECT PortDevice, PIRP Irp)
{
    PortExtension* port = PortExtensionOf(PortDevice);
    if (ReadLengthOf(Irp) == 0) {
        return CompleteRequest(Irp, STATUS_SUCCESS, 0);
    }

    ULONG delivered = 0;
    KIRQL irql;
    KeAcquireSpinLock(&port->PortLock, &irql);
    NTSTATUS status = ServeRead(port, Irp, &delivered);
    const bool restart = TakeUnreadAsArrival(port);
    KeReleaseSpinLock(&port->PortLock, irql);

    if (restart) {
        RestartReceive(port);
    }
    if (status != STATUS_PENDING) {
        CompleteRequest(Irp, status, delivered);
    }
    return status;
}

VOID NTAPI ReadTimeoutDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                          PVOID SystemArgument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    PortExtension* port = PortExtensionOf(static_cast<PDEVICE_OBJECT>(DeferredContext));

    bool restart = false;
    KIRQL irql;
    KeAcquireSpinLock(&port->PortLock, &irql);
    PIRP read = port->PendingRead;
    if (read != nullptr) {
        port->PendingRead = nullptr;
        ULONG delivered = port->RxCount != 0 ? CopyOut(read, port) : 0;
        CompleteRequest(read, STATUS_SUCCESS, delivered);
        restart = TakeUnreadAsArrival(port);
    }
    KeReleaseSpinLock(&port->PortLock, irql);

    if (restart) {
        RestartReceive(port);
    }
}

namespace {

// The events a data arrival stands for: a wait whose mask has either is
// satisfied, and they are what it records; the wait gets the event word.
constexpr ULONG ARRIVAL_WAIT_EVENTS = SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG;
constexpr ULONG ARRIVAL_EVENT_WORD = SERIAL_EV_RXCHAR | SERIAL_EV_RLSD;

// A read that asks for at least what is now held takes it all, with the
// receive's own status; one that asks for less is left to its timer.
void FinishPendingRead(PortExtension* Port, NTSTATUS ReceiveStatus)
{
    PIRP read = Port->PendingRead;
    if (ReadLengthOf(read) < Port->RxCount) {
        return;
    }
    ULONG delivered = CopyOut(read, Port);
    Port->PendingRead = nullptr;
    CompleteRequest(read, ReceiveStatus, delivered);
}

bool WaitsForArrival(const PortExtension* Port)
{
    return Port->WaitPending && (Port->WaitMask & ARRIVAL_WAIT_EVENTS) != 0;
}

// Unless its cancel routine has it already.
void FinishWaitOnArrival(PortExtension* Port)
{
    PIRP wait = TakePendingWait(Port);
    if (wait != nullptr) {
        Port->WaitEvents = ARRIVAL_WAIT_EVENTS;
        CompleteWait(wait, ARRIVAL_EVENT_WORD);
    }
}

// Bytes were added to the held ones: a pending read that asks for at least
// all held takes them; with no read pending, a wait for arrivals is
// finished. A read left pending keeps the wait from hearing of them.
void AnnounceArrival(PortExtension* Port, NTSTATUS ReceiveStatus)
{
    if (Port->PendingRead != nullptr) {
        FinishPendingRead(Port, ReceiveStatus);
    } else if (WaitsForArrival(Port)) {
        FinishWaitOnArrival(Port);
    }
}

}  // namespace

bool TakeUnreadAsArrival(PortExtension* Port)
{
    if (TakeUnread(Port) == 0) {
        return false;
    }
    AnnounceArrival(Port, STATUS_SUCCESS);
    return Port->DataConnection.UnreadCount == 0;
}

VOID ReceiveComplete(PVOID Context, PIO_STATUS_BLOCK StatusBlock, ULONG_PTR Extra)
{
    UNREFERENCED_PARAMETER(Extra);
    auto* port = static_cast<PortExtension*>(Context);
    // The status block is the one the next receive reuses.
    const NTSTATUS status = StatusBlock->Status;
    const ULONG received = static_cast<ULONG>(StatusBlock->Information);
    if (!port->IsOpen) {
        return;
    }
    // The module closed or reset the connection: the cycle ends, and the
    // port connects again by itself. The connection is marked down here, as
    // the transport's disconnect indication may come only later.
    if (!NT_SUCCESS(status) || received == 0) {
        MarkConnectionDown(&port->DataConnection, false);
        ReconnectInBackground(port, status);
        return;
    }
    port->DataConnection.LastReceived = received;

    KIRQL irql;
    KeAcquireSpinLock(&port->PortLock, &irql);
    TakeArrival(port, received);
    const bool readWasPending = port->PendingRead != nullptr;
    AnnounceArrival(port, status);
    // A read that took everything made room for what did not fit.
    if (readWasPending && port->PendingRead == nullptr) {
        TakeUnreadAsArrival(port);
    }
    const bool nothingUnread = port->DataConnection.UnreadCount == 0;
    KeReleaseSpinLock(&port->PortLock, irql);

    // With bytes left unread the reads post the next receive once they fit.
    if (nothingUnread) {
        RestartReceive(port);
    }
}

NTSTATUS RestartReceive(PortExtension* Port)
{
    NTSTATUS status = PostReceive(&Port->DataConnection, ReceiveComplete, Port);
    // A port without its receive would hear nothing more: one that could not
    // be posted (short of resources) is posted again by the background
    // attempts.
    if (!NT_SUCCESS(status)) {
        ReconnectInBackground(Port, status);
    }
    return status;
}

namespace {

void Append(PortExtension* Port, const UCHAR* Bytes, ULONG Count)
{
    RtlCopyMemory(Port->RxBuffer + Port->RxCount, Bytes, Count);
    SetRxCount(Port, Port->RxCount + Count);
}

ULONG RoomLeft(const PortExtension* Port)
{
    return Port->RxCount < PORT_RX_LIMIT ? PORT_RX_LIMIT - Port->RxCount : 0;
}

}  // namespace

void SetRxCount(PortExtension* Port, ULONG Count)
{
    Port->RxCount = Count;
    Port->CommStatus.AmountInInQueue = Count;
}

ULONG CopyOut(PIRP Read, PortExtension* Port)
{
    ULONG length = ReadLengthOf(Read);
    ULONG delivered = length < Port->RxCount ? length : Port->RxCount;
    if (delivered != 0) {
        RtlCopyMemory(Read->AssociatedIrp.SystemBuffer, Port->RxBuffer, delivered);
        RtlMoveMemory(Port->RxBuffer, Port->RxBuffer + delivered, Port->RxCount - delivered);
        SetRxCount(Port, Port->RxCount - delivered);
    } else {
        SetRxCount(Port, 0);
    }
    return delivered;
}

void TakeArrival(PortExtension* Port, ULONG Received)
{
    ConnectionRecord* data = &Port->DataConnection;
    ULONG room = RoomLeft(Port);
    ULONG taken = Received < room ? Received : room;
    Append(Port, data->ReceiveBuffer, taken);
    data->UnreadOffset = taken;
    data->UnreadCount = Received - taken;
}

ULONG TakeUnread(PortExtension* Port)
{
    ConnectionRecord* data = &Port->DataConnection;
    ULONG room = RoomLeft(Port);
    ULONG moved = data->UnreadCount < room ? data->UnreadCount : room;
    if (moved != 0) {
        Append(Port, data->ReceiveBuffer + data->UnreadOffset, moved);
        data->UnreadOffset += moved;
        data->UnreadCount -= moved;
    }
    if (data->UnreadCount == 0) {
        data->UnreadOffset = 0;
    }
    return moved;
}

void DiscardReceived(PortExtension* Port)
{
    SetRxCount(Port, 0);
    Port->DataConnection.UnreadOffset = 0;
    Port->DataConnection.UnreadCount = 0;
}
