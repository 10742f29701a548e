// Opening the transport objects of a connection: an address object, and an
// endpoint that is opened, associated with the address object and put in its
// endpoint list.
#pragma once

#include "net/transport_objects.h"

#include <tdi.h>

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
