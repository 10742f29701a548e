#include "port/serial_wait.h"

#include "core/dispatch_table.h"
#include "port/port_extension.h"
#include "port/serial_ioctl.h"

namespace {

// Mask bits no serial event has.
constexpr ULONG INVALID_WAIT_MASK_BITS = 0xFFFFE000;
// What a new wait mask reports to the wait it ends.
constexpr ULONG NO_EVENT = 0;

void ForgetWait(PortExtension* Port)
{
    Port->PendingWait = nullptr;
    Port->WaitPending = 0;
}

// The I/O manager's cancel of the pending wait. Runs only when no completer
// took the request, so it completes it; the port forgets it if it still
// holds it.
VOID NTAPI WaitCancel(PDEVICE_OBJECT PortDevice, PIRP Irp)
{
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    PortExtension* port = PortExtensionOf(PortDevice);
    KIRQL irql;
    KeAcquireSpinLock(&port->PortLock, &irql);
    if (port->PendingWait == Irp) {
        ForgetWait(port);
    }
    KeReleaseSpinLock(&port->PortLock, irql);
    CompleteRequest(Irp, STATUS_CANCELLED, 0);
}

// With PortLock held. False when the request was cancelled before it could
// be kept: the caller then completes it.
bool KeepWait(PortExtension* Port, PIRP Wait)
{
    IoMarkIrpPending(Wait);
    Port->PendingWait = Wait;
    Port->WaitPending = 1;
    IoSetCancelRoutine(Wait, WaitCancel);
    if (Wait->Cancel && IoSetCancelRoutine(Wait, nullptr) != nullptr) {
        ForgetWait(Port);
        return false;
    }
    return true;
}

}  // namespace

PIRP TakePendingWait(PortExtension* Port)
{
    PIRP wait = Port->WaitPending ? Port->PendingWait : nullptr;
    if (wait == nullptr || IoSetCancelRoutine(wait, nullptr) == nullptr) {
        return nullptr;  // none, or WaitCancel is completing it
    }
    ForgetWait(Port);
    return wait;
}

void CompleteWait(PIRP Wait, ULONG EventWord)
{
    *static_cast<ULONG*>(Wait->AssociatedIrp.SystemBuffer) = EventWord;
    CompleteRequest(Wait, STATUS_SUCCESS, sizeof(ULONG));
}

void CancelPendingWait(PortExtension* Port)
{
    KIRQL irql;
    KeAcquireSpinLock(&Port->PortLock, &irql);
    PIRP wait = TakePendingWait(Port);
    KeReleaseSpinLock(&Port->PortLock, irql);
    if (wait != nullptr) {
        CompleteRequest(wait, STATUS_CANCELLED, 0);
    }
}

NTSTATUS WaitOnMask(PortExtension* Port, SerialRequest* Request)
{
    NTSTATUS status = STATUS_PENDING;
    KIRQL irql;
    KeAcquireSpinLock(&Port->PortLock, &irql);
    if (Port->WaitPending) {
        status = STATUS_INVALID_PARAMETER;
    } else if (!KeepWait(Port, Request->Irp)) {
        // Marked pending already: completed here, reported as pending.
        CompleteRequest(Request->Irp, STATUS_CANCELLED, 0);
    }
    KeReleaseSpinLock(&Port->PortLock, irql);
    return status;
}

NTSTATUS SetWaitMask(PortExtension* Port, SerialRequest* Request)
{
    const ULONG mask = *SerialBufferAs<ULONG>(Request);
    if ((mask & INVALID_WAIT_MASK_BITS) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    KIRQL irql;
    KeAcquireSpinLock(&Port->PortLock, &irql);
    PIRP wait = TakePendingWait(Port);
    Port->WaitMask = mask;
    KeReleaseSpinLock(&Port->PortLock, irql);
    if (wait != nullptr) {
        CompleteWait(wait, NO_EVENT);
    }
    return STATUS_SUCCESS;
}

NTSTATUS GetWaitMask(PortExtension* Port, SerialRequest* Request)
{
    return ReturnGuardedSerialValue(Request, &Port->PortLock, Port->WaitMask);
}

void ReportCtsChange(PortExtension* Port, BOOLEAN On)
{
    PIRP wait = nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&Port->PortLock, &irql);
    if (On) {
        Port->ModemStatus |= SERIAL_MSR_CTS;
    } else {
        Port->ModemStatus &= ~static_cast<ULONG>(SERIAL_MSR_CTS);
    }
    if ((Port->WaitMask & SERIAL_EV_CTS) != 0) {
        Port->WaitEvents = SERIAL_EV_CTS;
        wait = TakePendingWait(Port);
    }
    KeReleaseSpinLock(&Port->PortLock, irql);
    if (wait != nullptr) {
        CompleteWait(wait, SERIAL_EV_CTS);
    }
}
