// Reference counts of address objects and endpoints. The last release closes
// the object; an endpoint's last release also drops its reference on its
// address object, so both stay open until the last request on the endpoint
// has completed.
#pragma once

#include "net/transport_objects.h"

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
