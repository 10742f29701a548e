// Operations on a ConnectionRecord: open and close its transport objects and
// buffers, connect and disconnect, send SendBuffer, keep a receive posted.
#pragma once

#include "net/connection_record.h"
#include "net/transport_io.h"

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

// Clears Connected: a send failed, or the connection is being replaced.
void MarkConnectionDown(ConnectionRecord* Connection);

// The transport reported the peer's disconnect (at up to DISPATCH_LEVEL):
// sets PeerDisconnected and clears Connected.
void MarkPeerDisconnected(ConnectionRecord* Connection);

// Sends SendLength bytes of SendBuffer, waiting at most 1 s.
NTSTATUS SendConnection(ConnectionRecord* Connection);

// Posts ReceiveBuffer (2048 bytes) for the connection's one receive and
// returns at once; Callback gets ReceiveStatus. Callable at DISPATCH_LEVEL.
NTSTATUS PostReceive(ConnectionRecord* Connection, CompletionCallback Callback, PVOID Context);
