// Getting an open port's data connection back. A write that finds the
// connection down makes it again itself (port/port_write.h); a port that
// only reads learns of the loss from its receive, and then connects again in
// the background: at once, then after a delay that doubles from half a
// second to ten, until it succeeds or the port is closed. Either way the new
// connection gets the port's receive and its line settings again. A receive
// that could not be posted, for want of resources, is posted again by the
// same attempts.
#pragma once

#include "core/nt.h"

struct PortExtension;

// At port creation (PASSIVE_LEVEL): the timer, DPC and work item the
// background attempts use. STATUS_INSUFFICIENT_RESOURCES when the work item
// cannot be had.
NTSTATUS InitializeReconnect(PortExtension* Port, PDEVICE_OBJECT PortDevice);

// At port teardown: the port is closed, so no attempt is under way.
void FreeReconnect(PortExtension* Port);

// At open: background attempts may begin.
void AllowReconnect(PortExtension* Port);

// At close, before the connections go (PASSIVE_LEVEL): no attempt begins
// from here on; a waiting one is called off and one under way is waited for.
void StopReconnecting(PortExtension* Port);

// The data connection was lost or could not be made again (at up to
// DISPATCH_LEVEL): an attempt is queued unless one is queued already.
// Reason is the status that told of the loss, for the log.
void ReconnectInBackground(PortExtension* Port, NTSTATUS Reason);

// The receive starts (unless unread bytes hold it back: port/port_read.h);
// its status. At up to DISPATCH_LEVEL.
NTSTATUS ResumeReceive(PortExtension* Port);

// After the data connection was made again: the receive starts as above and
// the line settings go to the module again; the receive's status. The
// caller holds the port's write lock.
NTSTATUS ResumeAfterReconnect(PortExtension* Port);
