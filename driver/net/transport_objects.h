// The transport objects a connection holds on \Device\Tcp: an open address
// object and a connection endpoint associated with it. Both live embedded in
// a ConnectionRecord and are reference counted with interlocked additions.
#pragma once

#include "core/nt.h"

#include "net/endpoint_closer.h"

struct TransportAddressObject {
    NTSTATUS Status;          // of the open; STATUS_UNSUCCESSFUL until it finishes
    volatile LONG ReferenceCount;
    HANDLE Handle;            // from ZwCreateFile
    PFILE_OBJECT FileObject;  // referenced from Handle
    PIRP ControlIrp;          // serves every synchronous request on this address
    LIST_ENTRY EndpointList;  // the ConnectionEndpoints associated with it
};

struct ConnectionEndpoint {
    LIST_ENTRY Links;  // Flink = next, Blink = previous in the address's list
    NTSTATUS AssociationStatus;
    volatile LONG ReferenceCount;
    TransportAddressObject* AddressObject;  // referenced once associated
    NTSTATUS OpenStatus;
    HANDLE Handle;            // from ZwCreateFile
    PFILE_OBJECT FileObject;  // null when not open
    EndpointCloser* Closer;   // where a close that cannot run at once goes
};
