// The port's receive cycle: while the port is open one receive is posted on
// its data connection; each completion brings the bytes into the receive
// buffer, may finish a waiting read or wait-on-mask, and posts the next.
#pragma once

#include "port/port_extension.h"

// Completion of the data connection's receive; context: the PortExtension.
// A failed or empty receive, or one after close, ends the cycle.
VOID ReceiveComplete(PVOID Context, PIO_STATUS_BLOCK StatusBlock, ULONG_PTR Extra);

// TakeUnread, and when it moved bytes in, they count as an arrival: with no
// read pending, a wait-on-mask for arrivals is finished, as a receive would
// finish it. PortLock held. True when the caller is to post the next
// receive (after releasing PortLock).
bool TakeUnreadAsArrival(PortExtension* Port);

// Posts the next receive of the cycle. Callable at DISPATCH_LEVEL, without
// PortLock held (its completion takes it).
NTSTATUS RestartReceive(PortExtension* Port);
