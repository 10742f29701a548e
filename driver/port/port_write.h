// Writes on a port: synchronous, in the caller's thread. The bytes go into
// the data connection's SendBuffer and out through SendWithReconnect; there
// is no transmit queue.
#pragma once

#include "core/nt.h"

struct PortExtension;

// The IRP_MJ_WRITE handler.
NTSTATUS NTAPI PortWrite(PDEVICE_OBJECT PortDevice, PIRP Irp);

// At port creation: the writes of one port run one at a time, so the send
// buffer is never refilled while its send is in progress.
void InitializeWriteLock(PortExtension* Port);

// The port's write lock (PASSIVE_LEVEL), also taken by a background
// reconnect so it never runs beside a write's.
void AcquireWriteLock(PortExtension* Port);
void ReleaseWriteLock(PortExtension* Port);
