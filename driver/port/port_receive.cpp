#include "port/port_receive.h"

#include "net/connection.h"
#include "port/receive_buffer.h"
#include "port/serial_wait.h"

namespace {

// The events a data arrival stands for: a wait whose mask has either is
// satisfied, and they are what it records; the wait gets the event word.
constexpr ULONG ARRIVAL_WAIT_EVENTS = SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG;
constexpr ULONG ARRIVAL_EVENT_WORD = SERIAL_EV_RXCHAR | SERIAL_EV_RLSD;

ULONG ReadLengthOf(PIRP Read)
{
    return IoGetCurrentIrpStackLocation(Read)->Parameters.Read.Length;
}

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
    if (!NT_SUCCESS(status) || !port->IsOpen || received == 0) {
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
    return PostReceive(&Port->DataConnection, ReceiveComplete, Port);
}
