#include "net/receive_gate.h"

#include "net/transport_request.h"

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
