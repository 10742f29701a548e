#include "port/port_write.h"

#include "core/dispatch_table.h"
#include "net/connection.h"
#include "net/module_control.h"
#include "port/port_extension.h"
#include "port/port_read.h"
#include "port/port_reconnect.h"

namespace {

// A write carries at most one byte less than the send buffer holds.
constexpr ULONG LONGEST_WRITE = CONNECTION_BUFFER_SIZE - 1;

ULONG WriteLengthOf(PIRP Write)
{
    return IoGetCurrentIrpStackLocation(Write)->Parameters.Write.Length;
}

// Fills the send buffer with the first Length bytes of the write.
bool FillSendBuffer(PortExtension* Port, PIRP Write, ULONG Length)
{
    ConnectionRecord* data = &Port->DataConnection;
    KIRQL irql;
    KeAcquireSpinLock(&Port->PortLock, &irql);
    const bool open = data->SendBuffer != nullptr;
    if (open) {
        data->SendLength = Length;
        data->SendStatus.Information = 0;  // none of this write has gone yet
        RtlCopyMemory(data->SendBuffer, Write->AssociatedIrp.SystemBuffer, Length);
        Port->CommStatus.AmountInOutQueue = Length;
    }
    KeReleaseSpinLock(&Port->PortLock, irql);
    return open;
}

ULONG SentByLastSend(const PortExtension* Port)
{
    return static_cast<ULONG>(Port->DataConnection.SendStatus.Information);
}

void ClearOutQueue(PortExtension* Port)
{
    KIRQL irql;
    KeAcquireSpinLock(&Port->PortLock, &irql);
    Port->CommStatus.AmountInOutQueue = 0;
    KeReleaseSpinLock(&Port->PortLock, irql);
}

// Sends the data connection's SendBuffer. When the connection is down or the
// send fails: reconnects once, restarts the port's receive, replays the line
// settings and sends again, returning that resend's status; a reconnect that
// fails is left to the background attempts. The caller serialises the port's
// writes.
NTSTATUS SendWithReconnect(PortExtension* Port)
{
    ConnectionRecord* data = &Port->DataConnection;
    if (IsConnected(data)) {
        NTSTATUS status = SendConnection(data);
        if (NT_SUCCESS(status)) {
            return status;  // STATUS_TIMEOUT too: the write reports how much went
        }
    }
    NTSTATUS status = Reconnect(data);
    if (!NT_SUCCESS(status)) {
        ReconnectInBackground(Port, status);
        return status;
    }
    ResumeAfterReconnect(Port);
    // The write is done only when its bytes went out on the new connection.
    return SendConnection(data);
}

}  // namespace

NTSTATUS NTAPI PortWrite(PDEVICE_OBJECT PortDevice, PIRP Irp)
{
    PortExtension* port = PortExtensionOf(PortDevice);
    const ULONG requested = WriteLengthOf(Irp);
    if (requested == 0) {
        return CompleteRequest(Irp, STATUS_SUCCESS, 0);  // nothing to send
    }
    const ULONG length = requested > LONGEST_WRITE ? LONGEST_WRITE : requested;

    AcquireWaitLock(&port->WriteLock);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    ULONG written = 0;
    if (FillSendBuffer(port, Irp, length)) {
        status = SendWithReconnect(port);
        if (NT_SUCCESS(status) && status != STATUS_TIMEOUT) {
            status = STATUS_SUCCESS;
            written = length;
        } else {
            // The module took no more within the send's time and the rest
            // was called off (as from a serial write that timed out), or the
            // send failed: the caller learns how much went, as a rule
            // nothing after a failure, and may send the rest again.
            written = SentByLastSend(port);
        }
        // Whatever became of it, nothing of this write waits to go out.
        ClearOutQueue(port);
    }
    ReleaseWaitLock(&port->WriteLock);
    return CompleteRequest(Irp, status, written);
}
