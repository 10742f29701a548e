// The port's receive cycle: while the port is open one receive is posted on
// its data connection; each completion brings the bytes into the receive
// buffer, may finish a waiting read or wait-on-mask, and posts the next.
#pragma once

#include "port/port_extension.h"

// Completion of the data connection's receive; context: the PortExtension.
// A failed or empty receive, or one after close, ends the cycle.
VOID ReceiveComplete(PVOID Context, PIO_STATUS_BLOCK StatusBlock, ULONG_PTR Extra);

// TakeUnread, and the bytes it moved in count as an arrival, as those of a
// receive do: a pending read that asks for at least all held takes them,
// and with no read pending a wait-on-mask for arrivals is finished. PortLock held. True when the last unread bytes went in: the
// caller then posts the next receive (after releasing PortLock).
bool TakeUnreadAsArrival(PortExtension* Port);

// Posts the next receive of the cycle. Callable at DISPATCH_LEVEL, without
// PortLock held (its completion takes it).
NTSTATUS RestartReceive(PortExtension* Port);
