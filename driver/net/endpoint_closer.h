// An endpoint's last reference can go inside a request's completion, at
// DISPATCH_LEVEL, where its handle cannot be closed. Its close then runs from
// a work item at PASSIVE_LEVEL. The work item is allocated when the
// connection opens, so deferring a close never fails.
#pragma once

#include "core/nt.h"

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
