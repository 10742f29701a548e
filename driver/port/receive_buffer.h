// The port's receive buffer: a flat RxBuffer whose first RxCount bytes are
// held in arrival order. Arrivals that do not fit stay unread in the data
// connection's ReceiveBuffer, reads move them in as room allows, and no
// receive is posted until all of them are in, so the module is held back by
// TCP and nothing is lost. Every routine here runs with PortLock held.
#pragma once

#include "port/port_extension.h"

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
