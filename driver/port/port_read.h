// Reads on a port: answered at once from the receive buffer when it holds
// enough, else at once with nothing or, when the read timeouts ask for
// waiting, pended until data arrives or ReadTimer fires (at most 1 s).
#pragma once

#include "core/nt.h"

// The IRP_MJ_READ handler.
NTSTATUS NTAPI PortRead(PDEVICE_OBJECT PortDevice, PIRP Irp);

// ReadTimer's DPC; context: the port device. Completes the waiting read with
// what is held.
VOID NTAPI ReadTimeoutDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                          PVOID SystemArgument2);
