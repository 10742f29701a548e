// Synchronous control requests that go through an address object's control
// request: associate, set event handler, connect. They wait, so they run at
// PASSIVE_LEVEL, and one address object carries one of them at a time.
#pragma once

#include "net/transport_objects.h"

#include <tdikrnl.h>

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
