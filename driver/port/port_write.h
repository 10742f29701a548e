// Writes on a port: synchronous, in the caller's thread. The bytes go into
// the data connection's SendBuffer and out through SendWithReconnect; there
// is no transmit queue.
#pragma once

#include "core/nt.h"

struct PortExtension;

// The IRP_MJ_WRITE handler.
NTSTATUS NTAPI PortWrite(PDEVICE_OBJECT PortDevice, PIRP Irp);
