// Reads on a port and the receive cycle that feeds them. While the port is
// open one receive is posted on its data connection; each completion brings
// the bytes into the receive buffer (a flat RxBuffer whose first RxCount
// bytes are held in arrival order) and may finish a waiting read or
// wait-on-mask. Arrivals that do not fit stay unread in the data
// connection's ReceiveBuffer, reads move them in as room allows, and no
// receive is posted until all of them are in, so the module is held back by
// TCP and nothing is lost. A read is answered at once from the buffer when it
// holds enough, else at once with nothing or, when the read timeouts ask for
// waiting, pended until data arrives or ReadTimer fires (at most 1 s).
#pragma once

#include "core/nt.h"
#include "port/port_extension.h"

// The IRP_MJ_READ handler.
NTSTATUS NTAPI PortRead(PDEVICE_OBJECT PortDevice, PIRP Irp);

// ReadTimer's DPC; context: the port device. Completes the waiting read with
// what is held.
VOID NTAPI ReadTimeoutDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                          PVOID SystemArgument2);

// Completion of the data connection's receive; context: the PortExtension.
// A failed or empty receive ends the cycle and, on an open port, begins a
// background reconnect; one after close just ends it.
VOID ReceiveComplete(PVOID Context, PIO_STATUS_BLOCK StatusBlock, ULONG_PTR Extra);

// TakeUnread, and the bytes it moved in count as an arrival, as those of a
// receive do: a pending read that asks for at least all held takes them,
// and with no read pending a wait-on-mask for arrivals is finished. PortLock held. True when the
// last unread bytes went in: the caller then posts the next receive (after releasing PortLock).
bool TakeUnreadAsArrival(PortExtension* Port);

// Posts the next receive of the cycle; when it cannot be posted, a
// background attempt posts it later (port/port_reconnect.h). Callable at
// DISPATCH_LEVEL, without PortLock held (its completion takes it).
NTSTATUS RestartReceive(PortExtension* Port);

// The buffer holds at most one byte less than its size.
constexpr ULONG PORT_RX_LIMIT = PORT_RX_BUFFER_SIZE - 1;

// RxCount, and the AmountInInQueue that always equals it.
void SetRxCount(PortExtension* Port, ULONG Count);

// Delivers up to the read's length from the front of RxBuffer into the read
// request and moves the rest forward; returns the bytes delivered.
ULONG CopyOut(PIRP Read, PortExtension* Port);

// Appends what fits of a receive of Received bytes; the rest stays unread.
void TakeArrival(PortExtension* Port, ULONG Received);

// Moves in as many unread bytes as there is room for; returns how many.
// (A whole receive can be one byte more than the buffer holds.) Once none
// is left unread the caller posts the next receive, after releasing
// PortLock.
ULONG TakeUnread(PortExtension* Port);

// Drops the held and the unread bytes.
void DiscardReceived(PortExtension* Port);
