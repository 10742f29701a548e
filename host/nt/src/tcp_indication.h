// Calls into a client's event handlers, with the verifier's checks around
// each call. The transport calls them on its reactor thread at
// DISPATCH_LEVEL, holding none of its locks.
#pragma once

#include "tcp_address.h"

namespace host {

void IndicateDisconnect(const TcpAddress& address, CONNECTION_CONTEXT context, ULONG flags);

struct ReceiveIndication {
    bool Called = false;  // false when no receive handler is registered
    NTSTATUS Status = STATUS_SUCCESS;
    ULONG Taken = 0;
    PIRP Irp = nullptr;
};

// Bug check when the handler takes more bytes than were indicated, or
// hands back an IRP without STATUS_MORE_PROCESSING_REQUIRED.
ReceiveIndication IndicateReceive(const TcpAddress& address, CONNECTION_CONTEXT context,
                                  ULONG indicated, ULONG available, PVOID data);

}  // namespace host
