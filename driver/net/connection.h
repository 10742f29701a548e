// Connections to modules. A ConnectionRecord is one TCP client connection to
// a module: the control connection of a module device or the data
// connection of a port device, embedded in the device extensions, which
// start zero-filled. The operations open and close its transport objects
// and buffers, connect, disconnect and reconnect, send SendBuffer and keep
// one receive posted (the receive gate). The transport's event handlers
// mark the record's state; the module device's create and close handlers
// keep the module's control connection up while any of its ports (or an
// application holding the module device) is open.
#pragma once

#include "core/nt.h"
#include "net/transport.h"

#include <tdikrnl.h>

struct ReceiveGate {
    KSPIN_LOCK Lock;
    BOOLEAN Accepting;     // receives may be posted (from open to close)
    BOOLEAN HeldIrpEnded;  // the held receive's completion has finished
    PIRP Posted;           // the receive the transport holds, or null
    PIRP Held;             // the receive the owner is cancelling, or null
    ULONG InFlight;        // receives posted whose completion has not finished
    KEVENT Idle;           // notification event: set while InFlight is 0
};

enum class ReceiveAdmission { Admitted, AlreadyPosted, Closed };

// At connection open: accept receives, none in flight.
void OpenReceiveGate(ReceiveGate* Gate);

// Before the receive goes to the transport.
ReceiveAdmission AdmitReceive(ReceiveGate* Gate, PIRP Irp);

// At the start of the receive's completion: the transport is done with it.
void ReceiveReturned(ReceiveGate* Gate, PIRP Irp);

// At the very end of the receive's completion: frees the IRP unless the
// owner holds it for a cancel, and wakes a closing owner.
void ReceiveFinished(ReceiveGate* Gate, PIRP Irp);

// At connection close (PASSIVE_LEVEL): refuses further receives, cancels the
// posted one and waits until its completion has finished. Harmless on a gate
// that was never opened.
void CloseReceiveGate(ReceiveGate* Gate);

// At a reconnect (PASSIVE_LEVEL): closes the gate and opens it again, so the
// old connection's receive has ended and the new connection's is admitted.
void ResetReceiveGate(ReceiveGate* Gate);

constexpr ULONG CONNECTION_BUFFER_SIZE = 2048;
constexpr ULONG PROVIDER_INFO_SIZE = 40;
static_assert(sizeof(TDI_PROVIDER_INFO) == PROVIDER_INFO_SIZE,
              "what TDI_QUERY_PROVIDER_INFO fills");

struct ConnectionRecord {
    ULONG RemoteAddress;  // IPv4, network byte order
    USHORT RemotePort;    // TCP, network byte order
    UCHAR Opened;
    UCHAR Connected;             // changed only under StateLock (net/connection.h)
    TA_IP_ADDRESS LocalAddress;  // 0:0, the transport chooses
    TransportAddressObject AddressObject;
    ConnectionEndpoint Endpoint;  // its connection context is its own address
    TA_IP_ADDRESS RemoteTransportAddress;
    ULONG SendLength;      // bytes of SendBuffer the next send carries
    PUCHAR SendBuffer;     // CONNECTION_BUFFER_SIZE bytes, nonpaged
    PMDL SendMdl;          // only while a send is in progress
    PUCHAR ReceiveBuffer;  // CONNECTION_BUFFER_SIZE bytes and a terminator, nonpaged
    PMDL ReceiveMdl;       // keeps ReceiveBuffer locked from open to close
    ULONG LastReceived;
    IO_STATUS_BLOCK ReceiveStatus;
    IO_STATUS_BLOCK SendStatus;
    TDI_PROVIDER_INFO ProviderInfo;
    volatile ULONG PeerDisconnected;
    // Connected, PeerDisconnected and Drops change together under StateLock,
    // so a disconnect the transport reports while a connect is under way is
    // never undone by that connect's late success.
    KSPIN_LOCK StateLock;
    ULONG Drops;  // disconnects the transport has reported
    LARGE_INTEGER SendTimeout;
    LARGE_INTEGER ConnectTimeout;
    LARGE_INTEGER DisconnectTimeout;

    PDEVICE_OBJECT OwnerDevice;  // the device whose extension holds the record
    EndpointCloser Closer;       // closes the endpoint when its last request ends
    ReceiveGate Receive;         // the one receive posted on the connection
    // Received bytes still waiting in ReceiveBuffer for room in a port's
    // receive buffer; no receive is posted while there are any.
    ULONG UnreadOffset;
    ULONG UnreadCount;
};

// Sets the far end a connection will reach: both values in network byte order.
inline void SetConnectionTarget(ConnectionRecord* Connection, ULONG Address, USHORT Port)
{
    Connection->RemoteAddress = Address;
    Connection->RemotePort = Port;
}

// Names the device the record lives in, which runs its deferred work, and
// readies the record's state lock; once, when the device is created.
inline void SetConnectionOwner(ConnectionRecord* Connection, PDEVICE_OBJECT OwnerDevice)
{
    Connection->OwnerDevice = OwnerDevice;
    KeInitializeSpinLock(&Connection->StateLock);
}

// Allocates the buffers, opens the address object and endpoint on
// \Device\Tcp, registers the event handlers and sets Opened. Success at once
// when already open. A failed open leaves the record closed.
NTSTATUS OpenConnection(ConnectionRecord* Connection);

// Releases all that OpenConnection acquired and clears Opened. A posted
// receive is cancelled and waited for first; harmless on a closed record.
NTSTATUS CloseConnection(ConnectionRecord* Connection);

// Connects to the remote address and port (100 ms transport timeout) and
// sets Connected. STATUS_INVALID_DEVICE_STATE on a record that is not open.
NTSTATUS Connect(ConnectionRecord* Connection);

// Disconnects, clears Connected, and waits up to 2 s for the peer's side.
NTSTATUS Disconnect(ConnectionRecord* Connection);

// Brings a connection that is down (or failed a send) up again on the same
// endpoint: aborts what is left of the last connection, waits until its
// receive has ended, and connects. The caller posts the new receive.
NTSTATUS Reconnect(ConnectionRecord* Connection);

// Connected, read under the record's state lock.
bool IsConnected(ConnectionRecord* Connection);

// Clears Connected: the connection is being ended or replaced, or (ByPeer)
// the transport reported the peer's disconnect, at up to DISPATCH_LEVEL,
// which also sets PeerDisconnected and counts a drop.
void MarkConnectionDown(ConnectionRecord* Connection, bool ByPeer);

// Sends SendLength bytes of SendBuffer, waiting at most 1 s.
NTSTATUS SendConnection(ConnectionRecord* Connection);

// Posts ReceiveBuffer (2048 bytes) for the connection's one receive and
// returns at once; Callback gets ReceiveStatus. Callable at DISPATCH_LEVEL.
NTSTATUS PostReceive(ConnectionRecord* Connection, CompletionCallback Callback, PVOID Context);

// Marks the record's peer gone: sets PeerDisconnected, clears Connected.
NTSTATUS NTAPI DisconnectEventHandler(PVOID TdiEventContext, CONNECTION_CONTEXT ConnectionContext,
                                      LONG DisconnectDataLength, PVOID DisconnectData,
                                      LONG DisconnectInformationLength, PVOID DisconnectInformation,
                                      ULONG DisconnectFlags);

// Declines the data (STATUS_DATA_NOT_ACCEPTED, nothing taken, no request):
// data reaches the driver only through the receive it keeps posted.
NTSTATUS NTAPI ReceiveEventHandler(PVOID TdiEventContext, CONNECTION_CONTEXT ConnectionContext,
                                   ULONG ReceiveFlags, ULONG BytesIndicated, ULONG BytesAvailable,
                                   ULONG* BytesTaken, PVOID Tsdu, PIRP* IoRequestPacket);

NTSTATUS NTAPI ErrorEventHandler(PVOID TdiEventContext, NTSTATUS Status);

// Waits Microseconds (at most 214,748,364, so the interval fits 32 bits);
// returns the status of the wait.
NTSTATUS DelayMicroseconds(ULONG Microseconds);

// Brings the control connection up (open, connect, post its receive) unless
// a port of the module is open already.
NTSTATUS NTAPI ModuleCreate(PDEVICE_OBJECT ModuleDevice, PIRP Irp);

// Takes the control connection down when no port of the module is open.
NTSTATUS NTAPI ModuleClose(PDEVICE_OBJECT ModuleDevice, PIRP Irp);
