// Building and sending transport requests: IRP_MJ_INTERNAL_DEVICE_CONTROL
// with a TDI minor code, sent to the device related to the target file
// object, with a completion routine that runs on success, error and cancel.
#pragma once

#include "core/nt.h"

#include <tdikrnl.h>

// Fills the IRP's next stack location as a TDI request on FileObject; the
// caller adds the parameters and the completion routine.
PIO_STACK_LOCATION PrepareTransportRequest(PIRP Irp, UCHAR MinorFunction, PFILE_OBJECT FileObject);

// The TDI parameters laid over a stack location's Parameters.
template <typename Parameters>
Parameters* TransportParameters(PIO_STACK_LOCATION Stack)
{
    static_assert(sizeof(Parameters) <= sizeof(Stack->Parameters), "TDI parameters fit the stack location");
    return reinterpret_cast<Parameters*>(&Stack->Parameters);
}

// Every request of the transport client completes into the driver: on
// success, on error and on cancel.
void SetTransportCompletion(PIRP Irp, PIO_COMPLETION_ROUTINE Routine, PVOID Context);

// Sets the event given as context (when there is one); the IRP stays with
// its issuer.
NTSTATUS NTAPI SignalCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// Sends the prepared IRP and waits, without a limit, for its completion.
// Returns the IRP's final status; does not free the IRP.
NTSTATUS CallTransportAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Frees an IRP the driver allocated; the MDLs it points at stay the driver's.
void FreeTransportIrp(PIRP Irp);
