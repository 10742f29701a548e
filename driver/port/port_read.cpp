#include "port/port_read.h"

#include "port/port_receive.h"
#include "port/receive_buffer.h"

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
