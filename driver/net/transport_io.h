// Sends, receives and disconnects on a connection endpoint. Each request has
// a context from nonpaged NDIS memory and an IRP of its own; the completion
// (RequestCompletion) reports the outcome, releases the endpoint's reference
// and frees them. A request with a callback is asynchronous and may be
// issued at up to DISPATCH_LEVEL; one without waits for its completion.
#pragma once

#include "net/receive_gate.h"
#include "net/transport_objects.h"

// Runs inside RequestCompletion at up to DISPATCH_LEVEL, in any thread. The
// third argument is always zero.
typedef VOID (*CompletionCallback)(PVOID Context, PIO_STATUS_BLOCK StatusBlock, ULONG_PTR Extra);

struct RequestContext {
    ConnectionEndpoint* Endpoint;  // referenced while the transport has the request
    PKEVENT Event;                 // signalled at completion, or null
    CompletionCallback Callback;   // or null
    PVOID CallbackContext;
    PIO_STATUS_BLOCK StatusBlock;  // the caller's, or OwnStatus
    IO_STATUS_BLOCK OwnStatus;
    UCHAR Synchronous;   // the issuer waits for the request and frees its IRP
    ULONG_PTR Extra;     // always 0; the callback's third argument
    ReceiveGate* Gate;   // the connection's one receive, for a gated receive
};

// TDI_SEND of the whole MDL chain: asynchronous with a callback, else
// synchronous. A synchronous send waits at most WaitTimeout (null: no
// limit); when that runs out the request is cancelled, waited for, and
// STATUS_TIMEOUT returned.
NTSTATUS TdiSendRequest(ConnectionEndpoint* Endpoint, CompletionCallback Callback,
                        PVOID CallbackContext, PIO_STATUS_BLOCK StatusBlock, PMDL Mdl,
                        ULONG SendFlags, PLARGE_INTEGER WaitTimeout);

// TDI_RECEIVE into the MDL chain, in the same two modes. With a gate the
// receive is the connection's one outstanding receive: it is not posted
// when one is outstanding already (STATUS_SUCCESS) or the connection no
// longer accepts receives (STATUS_INVALID_DEVICE_STATE).
NTSTATUS TdiReceiveRequest(ConnectionEndpoint* Endpoint, CompletionCallback Callback,
                           PVOID CallbackContext, PIO_STATUS_BLOCK StatusBlock, PMDL Mdl,
                           ULONG ReceiveFlags, PLARGE_INTEGER WaitTimeout, ReceiveGate* Gate);

// Synchronous TDI_DISCONNECT; the transport applies the timeout.
NTSTATUS TdiDisconnectRequest(ConnectionEndpoint* Endpoint, ULONG DisconnectFlags,
                              const LARGE_INTEGER* Timeout);

// The completion routine of every send, receive and disconnect.
NTSTATUS NTAPI RequestCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
