// Port open, close and cleanup. Opening a port brings the network up: the
// module's control connection (through the module's create handler), the
// channel's data connection and the receive cycle. Each handler completes
// its own request.
#pragma once

#include "core/nt.h"

NTSTATUS NTAPI PortCreate(PDEVICE_OBJECT PortDevice, PIRP Irp);
NTSTATUS NTAPI PortClose(PDEVICE_OBJECT PortDevice, PIRP Irp);
NTSTATUS NTAPI PortCleanup(PDEVICE_OBJECT PortDevice, PIRP Irp);

struct PortExtension;

// An open or close works in the module's extension (its lock, its control
// connection) for up to seconds, so a stop must not delete the module while
// one is under way or waiting for the lock. A stop marks each port
// Stopping; an open or close counts itself before it touches the module,
// then an open looks at the mark. Both sides are interlocked, so at least
// one of them sees the other: the stop refuses, or the open fails without
// touching the module.
//
// Marks the port Stopping, unless it is open or an open or close of it is
// under way: then it is left unmarked and the result is false.
bool MarkPortStopping(PortExtension* Port);
// Takes back the mark of a stop that was refused.
void UnmarkPortStopping(PortExtension* Port);
