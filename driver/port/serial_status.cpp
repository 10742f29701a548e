#include "port/serial_status.h"

#include "core/dispatch_table.h"
#include "net/delay.h"
#include "port/port_extension.h"
#include "port/port_receive.h"
#include "port/receive_buffer.h"

namespace {

// Every comm status query pauses this long before it answers.
constexpr ULONG COMM_STATUS_DELAY_MICROSECONDS = 100;

// With PortLock held. Drops what was received, the bytes the connection
// still holds unread included; true when those held the receive back, so
// the caller restarts it. What waits to go out is the write path's.
bool DiscardReceiveQueue(PortExtension* Port)
{
    const bool receiveHeldBack = Port->DataConnection.UnreadCount != 0;
    DiscardReceived(Port);
    return receiveHeldBack;
}

}  // namespace

NTSTATUS GetModemStatus(PortExtension* Port, SerialRequest* Request)
{
    return ReturnSerialValue(Request, Port->ModemStatus);
}

NTSTATUS GetCommStatus(PortExtension* Port, SerialRequest* Request)
{
    DelayMicroseconds(COMM_STATUS_DELAY_MICROSECONDS);
    KIRQL irql;
    KeAcquireSpinLock(&Port->PortLock, &irql);
    const SERIAL_STATUS status = Port->CommStatus;
    KeReleaseSpinLock(&Port->PortLock, irql);
    return ReturnSerialValue(Request, status);
}

NTSTATUS Purge(PortExtension* Port, SerialRequest* Request)
{
    const ULONG flags = *SerialBufferAs<ULONG>(Request);
    bool restartReceive = false;
    KIRQL irql;
    KeAcquireSpinLock(&Port->PortLock, &irql);
    if ((flags & SERIAL_PURGE_RXCLEAR) != 0) {
        restartReceive = DiscardReceiveQueue(Port);
    }
    // Whatever the flags, a waiting read ends.
    PIRP read = Port->PendingRead;
    Port->PendingRead = nullptr;
    KeReleaseSpinLock(&Port->PortLock, irql);

    if (read != nullptr) {
        CompleteRequest(read, STATUS_CANCELLED, 0);
    }
    if (restartReceive) {
        RestartReceive(Port);
    }
    // Reports the four bytes of its flags, but never more than the caller's
    // output buffer takes.
    Request->Information = Request->OutputLength < sizeof(ULONG) ? Request->OutputLength : sizeof(ULONG);
    return STATUS_SUCCESS;
}
