// The driver's TDI client of \Device\Tcp. A connection holds two transport
// objects there: an open address object and a connection endpoint
// associated with it, both embedded in its ConnectionRecord and reference
// counted with interlocked additions, so they stay open until the last
// request on them has completed (an endpoint's last reference can go at
// DISPATCH_LEVEL, so its close then runs from a work item). Requests are
// IRP_MJ_INTERNAL_DEVICE_CONTROL IRPs with a TDI minor code, sent to the
// device related to the target file object: the control requests
// (associate, set event handler, connect) wait and run at PASSIVE_LEVEL;
// sends, receives and disconnects have a context from nonpaged NDIS memory
// and an IRP of their own, and are asynchronous with a callback or
// synchronous without one.
#pragma once

#include "core/nt.h"

#include <tdi.h>
#include <tdikrnl.h>

struct ReceiveGate;  // net/connection.h

PCWSTR const TCP_DEVICE_NAME = L"\\Device\\Tcp";

typedef int NDIS_STATUS;

extern "C" {
DECLSPEC_IMPORT NDIS_STATUS NTAPI NdisAllocateMemory(PVOID* VirtualAddress, ULONG Length,
                                                     ULONG MemoryFlags,
                                                     PHYSICAL_ADDRESS HighestAcceptableAddress);
DECLSPEC_IMPORT VOID NTAPI NdisFreeMemory(PVOID VirtualAddress, ULONG Length, ULONG MemoryFlags);
}

// NDIS_STATUS_SUCCESS.
constexpr NDIS_STATUS NDIS_ALLOCATION_SUCCEEDED = 0;
// Ordinary nonpaged memory: neither contiguous nor noncached.
constexpr ULONG NDIS_PLAIN_MEMORY = 0;

struct EndpointCloser {
    PIO_WORKITEM WorkItem;
    KEVENT Closed;  // notification event: set once the endpoint is closed
};

// Allocates the work item on the owner's device and marks the (not yet
// created) endpoint closed.
NTSTATUS PrepareEndpointCloser(EndpointCloser* Closer, PDEVICE_OBJECT OwnerDevice);

// Waits until the endpoint's close has run, then frees the work item.
// Harmless on a closer that was never prepared.
void RetireEndpointCloser(EndpointCloser* Closer);

struct TransportAddressObject {
    NTSTATUS Status;  // of the open; STATUS_UNSUCCESSFUL until it finishes
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

// An MDL describing the buffer with its pages locked, or null. Only
// nonpaged memory the driver owns (its pool, its device extensions) is
// ever locked.
PMDL LockBuffer(PVOID VirtualAddress, ULONG Length);

// Unlocks the pages and frees the MDL.
void UnlockBuffer(PMDL Mdl);

// Allocates (paged pool) and fills the buffer; the caller frees it with
// ExFreePoolWithTag(buffer, 0). STATUS_INSUFFICIENT_RESOURCES when the pool
// refuses.
NTSTATUS BuildEaBuffer(UCHAR NameLength, PCSTR Name, USHORT ValueLength, const VOID* Value,
                       PFILE_FULL_EA_INFORMATION* Buffer, ULONG* BufferLength);

// One IPv4 TRANSPORT_ADDRESS: a count of 4 bytes, then per entry its length
// and type (4 bytes) and the 14-byte TDI_ADDRESS_IP.
constexpr ULONG TRANSPORT_ADDRESS_HEADER_SIZE = FIELD_OFFSET(TRANSPORT_ADDRESS, Address);
constexpr ULONG TA_ADDRESS_HEADER_SIZE = FIELD_OFFSET(TA_ADDRESS, Address);

// Fills one TRANSPORT_ADDRESS entry. Address and Port are copied as given,
// already in network byte order; the trailing zero bytes are left alone.
void BuildIpAddress(TA_IP_ADDRESS* Target, ULONG Address, USHORT Port);

// Byte length of a TRANSPORT_ADDRESS with all its entries; 0 for null.
ULONG TransportAddressLength(const TRANSPORT_ADDRESS* Address);

// Opens a control channel on the device, queries the provider information
// into Info and closes the channel. Prints "Unable To Open TDI Control
// Channel\n" when the channel cannot be opened. Info must be resident (it
// is locked for the transport).
NTSTATUS QueryProviderInfo(PCWSTR DeviceName, TDI_PROVIDER_INFO* Info);

// ZwCreateFile on the named device with the given access and EA buffer
// (none for a control channel). The handle is a kernel handle: it is closed
// from whatever thread drops the object's last reference.
NTSTATUS CreateTransportHandle(PCWSTR DeviceName, ACCESS_MASK DesiredAccess,
                               PFILE_FULL_EA_INFORMATION EaBuffer, ULONG EaLength, PHANDLE Handle);

// References the handle's file object. On failure the handle is closed and
// cleared, so the open leaves nothing behind.
NTSTATUS ReferenceTransportFile(PHANDLE Handle, PFILE_OBJECT* FileObject);

// Dereferences the file object and closes the handle, where present, and
// clears both.
void CloseTransportFile(PHANDLE Handle, PFILE_OBJECT* FileObject);

// Count +1; ignored for null.
void ReferenceAddress(TransportAddressObject* Address);

// Count -1; at 0 frees the control request and closes the file. Does
// nothing for null or for an object whose count is already 0. Runs at
// PASSIVE_LEVEL (an endpoint's deferred close brings it there).
void ReleaseAddress(TransportAddressObject* Address);

void ReferenceEndpoint(ConnectionEndpoint* Endpoint);

// Count -1; at 0 releases the address object, leaves its list and closes
// the file, at once at PASSIVE_LEVEL, else from the endpoint's work item.
// Does nothing for an endpoint whose count is already 0.
void ReleaseEndpoint(ConnectionEndpoint* Endpoint);

// Opens an address object on the local transport address. The result is
// also stored in the object's Status.
NTSTATUS OpenTransportAddress(PCWSTR DeviceName, const TRANSPORT_ADDRESS* LocalAddress,
                              TransportAddressObject* Address);

// Opens an endpoint whose connection context (handed back to the event
// handlers) is Context. The result is also stored in the Open status.
NTSTATUS OpenConnectionEndpoint(PCWSTR DeviceName, ConnectionEndpoint* Endpoint, PVOID Context);

// Initialises the endpoint (count 1, closed later through Closer), opens it,
// associates it with the address object and appends it to the object's
// endpoint list. An endpoint that fails to open or associate stays unlinked.
NTSTATUS CreateConnectionEndpoint(PCWSTR DeviceName, TransportAddressObject* Address,
                                  ConnectionEndpoint* Endpoint, PVOID Context,
                                  EndpointCloser* Closer);

// Fills the IRP's next stack location as a TDI request on FileObject; the
// caller adds the parameters and the completion routine.
PIO_STACK_LOCATION PrepareTransportRequest(PIRP Irp, UCHAR MinorFunction, PFILE_OBJECT FileObject);

// The TDI parameters laid over a stack location's Parameters.
template <typename Parameters>
Parameters* TransportParameters(PIO_STACK_LOCATION Stack)
{
    static_assert(sizeof(Parameters) <= sizeof(Stack->Parameters),
                  "TDI parameters fit the stack location");
    return reinterpret_cast<Parameters*>(&Stack->Parameters);
}

// Every request of the transport client completes into the driver: on
// success, on error and on cancel.
void SetTransportCompletion(PIRP Irp, PIO_COMPLETION_ROUTINE Routine, PVOID Context);

// Sets the event given as context (when there is one); the IRP stays with
// its issuer.
NTSTATUS NTAPI SignalCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// Sends the prepared IRP and waits, without a limit, for its completion.
// Returns the IRP's final status; does not free the IRP.
NTSTATUS CallTransportAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Frees an IRP the driver allocated; the MDLs it points at stay the driver's.
void FreeTransportIrp(PIRP Irp);

// TDI_ASSOCIATE_ADDRESS of the endpoint with the address object. On success
// the endpoint holds a reference on the address object. The result is also
// stored in the endpoint's Association status.
NTSTATUS AssociateAddress(TransportAddressObject* Address, ConnectionEndpoint* Endpoint);

// The handlers the transport calls for one address object; each may be null.
struct TransportEventHandlers {
    PTDI_IND_CONNECT Connect;
    PTDI_IND_DISCONNECT Disconnect;
    PTDI_IND_ERROR Error;
    PTDI_IND_RECEIVE Receive;
    PTDI_IND_RECEIVE_EXPEDITED ReceiveExpedited;
};

// Registers the five handlers with one event context; the first failure
// ends the registration and is returned.
NTSTATUS SetEventHandlers(TransportAddressObject* Address, PVOID EventContext,
                          const TransportEventHandlers& Handlers);

// TDI_CONNECT of an associated endpoint to a 22-byte remote address; the
// transport applies the timeout (negative, 100 ns units) to the attempt.
NTSTATUS TdiConnectRequest(ConnectionEndpoint* Endpoint, const TA_IP_ADDRESS* RemoteAddress,
                           const LARGE_INTEGER* Timeout);

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
    UCHAR Synchronous;  // the issuer waits for the request and frees its IRP
    ULONG_PTR Extra;    // always 0; the callback's third argument
    ReceiveGate* Gate;  // the connection's one receive, for a gated receive
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
