// The transport event handlers every connection registers, with the
// ConnectionRecord as event context. They run in the transport's context at
// up to DISPATCH_LEVEL.
#pragma once

#include "core/nt.h"

#include <tdikrnl.h>

// Marks the record's peer gone: sets PeerDisconnected, clears Connected.
NTSTATUS NTAPI DisconnectEventHandler(PVOID TdiEventContext, CONNECTION_CONTEXT ConnectionContext,
                                      LONG DisconnectDataLength, PVOID DisconnectData,
                                      LONG DisconnectInformationLength,
                                      PVOID DisconnectInformation, ULONG DisconnectFlags);

// Declines the data (STATUS_DATA_NOT_ACCEPTED, nothing taken, no request):
// data reaches the driver only through the receive it keeps posted.
NTSTATUS NTAPI ReceiveEventHandler(PVOID TdiEventContext, CONNECTION_CONTEXT ConnectionContext,
                                   ULONG ReceiveFlags, ULONG BytesIndicated, ULONG BytesAvailable,
                                   ULONG* BytesTaken, PVOID Tsdu, PIRP* IoRequestPacket);

NTSTATUS NTAPI ErrorEventHandler(PVOID TdiEventContext, NTSTATUS Status);
