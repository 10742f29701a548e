// ConnectionRecord: one TCP client connection to a module, the control
// connection of a module device or the data connection of a port device.
// Embedded in the device extensions, which start zero-filled.
#pragma once

#include "core/nt.h"

#include <tdikrnl.h>

#include "net/endpoint_closer.h"
#include "net/receive_gate.h"
#include "net/transport_objects.h"

constexpr ULONG CONNECTION_BUFFER_SIZE = 2048;
constexpr ULONG PROVIDER_INFO_SIZE = 40;
static_assert(sizeof(TDI_PROVIDER_INFO) == PROVIDER_INFO_SIZE, "what TDI_QUERY_PROVIDER_INFO fills");

struct ConnectionRecord {
    ULONG RemoteAddress;  // IPv4, network byte order
    USHORT RemotePort;    // TCP, network byte order
    UCHAR Opened;
    UCHAR Connected;  // changed only under StateLock (net/connection.h)
    TA_IP_ADDRESS LocalAddress;  // 0:0, the transport chooses
    TransportAddressObject AddressObject;
    ConnectionEndpoint Endpoint;  // its connection context is its own address
    TA_IP_ADDRESS RemoteTransportAddress;
    ULONG SendLength;  // bytes of SendBuffer the next send carries
    PUCHAR SendBuffer;  // CONNECTION_BUFFER_SIZE bytes, nonpaged
    PMDL SendMdl;       // only while a send is in progress
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
