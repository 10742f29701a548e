// The one receive a connection keeps posted. The gate admits a receive only
// while none is with the transport and the connection accepts receives, and
// lets the owner cancel the posted receive while the transport may be
// completing it: the IRP is freed by whichever of the two finishes last.
#pragma once

#include "core/nt.h"

struct ReceiveGate {
    KSPIN_LOCK Lock;
    BOOLEAN Accepting;       // receives may be posted (from open to close)
    BOOLEAN HeldIrpEnded;    // the held receive's completion has finished
    PIRP Posted;             // the receive the transport holds, or null
    PIRP Held;               // the receive the owner is cancelling, or null
    ULONG InFlight;          // receives posted whose completion has not finished
    KEVENT Idle;             // notification event: set while InFlight is 0
};

enum class ReceiveAdmission { Admitted, AlreadyPosted, Closed };

// At connection open: accept receives, none in flight.
void OpenReceiveGate(ReceiveGate* Gate);

// Before the receive goes to the transport.
ReceiveAdmission AdmitReceive(ReceiveGate* Gate, PIRP Irp);

// At the start of the receive's completion: the transport is done with it.
void ReceiveReturned(ReceiveGate* Gate, PIRP Irp);

// At the very end of the receive's completion: frees the IRP unless the
// owner holds it for a cancel, and wakes a closing owner.
void ReceiveFinished(ReceiveGate* Gate, PIRP Irp);

// At connection close (PASSIVE_LEVEL): refuses further receives, cancels the
// posted one and waits until its completion has finished. Harmless on a gate
// that was never opened.
void CloseReceiveGate(ReceiveGate* Gate);

// At a reconnect (PASSIVE_LEVEL): closes the gate and opens it again, so the
// old connection's receive has ended and the new connection's is admitted.
void ResetReceiveGate(ReceiveGate* Gate);
