// Port open, close and cleanup. Opening a port brings the network up: the
// module's control connection (through the module's create handler), the
// channel's data connection and the receive cycle. Each handler completes
// its own request.
#pragma once

#include "core/nt.h"

NTSTATUS NTAPI PortCreate(PDEVICE_OBJECT PortDevice, PIRP Irp);
NTSTATUS NTAPI PortClose(PDEVICE_OBJECT PortDevice, PIRP Irp);
NTSTATUS NTAPI PortCleanup(PDEVICE_OBJECT PortDevice, PIRP Irp);
