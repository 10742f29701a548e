// The wait-on-mask mechanism and the events that end a wait: one
// IOCTL_SERIAL_WAIT_ON_MASK may pend per port until a data arrival, a CTS
// report from the module, a new wait mask, cleanup or its cancellation
// completes it. Whichever completer takes the request first owns it: a
// completer takes it only when it can clear the cancel routine, so the
// cancel routine, once running, is the one that completes it.
#pragma once

#include "core/nt.h"
#include "port/serial_ioctl.h"

// With PortLock held: the pending wait, now the caller's to complete, or
// null when none is pending or its cancel routine has it. The port forgets it.
PIRP TakePendingWait(PortExtension* Port);

// Completes a taken wait with an event word: STATUS_SUCCESS, 4 bytes.
void CompleteWait(PIRP Wait, ULONG EventWord);

// Cleanup: completes the pending wait, if any, with STATUS_CANCELLED.
void CancelPendingWait(PortExtension* Port);

NTSTATUS WaitOnMask(PortExtension* Port, SerialRequest* Request);
NTSTATUS SetWaitMask(PortExtension* Port, SerialRequest* Request);
NTSTATUS GetWaitMask(PortExtension* Port, SerialRequest* Request);

struct PortExtension;

// Keeps SERIAL_MSR_CTS of ModemStatus at the reported level; when the wait
// mask asks for SERIAL_EV_CTS, records the event and completes a pending
// wait. Called from the control receive's completion, at up to
// DISPATCH_LEVEL.
void ReportCtsChange(PortExtension* Port, BOOLEAN On);
