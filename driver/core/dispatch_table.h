// The per-device dispatch table. It is the first member of every device
// extension, so the driver's single set of entry points can pass each request
// to the handler of the device's own kind (control, module, port).
#pragma once

#include "core/nt.h"

// A device's own clean-up before its device object is deleted.
typedef NTSTATUS (*PDEVICE_TEARDOWN)(PDEVICE_OBJECT DeviceObject);

constexpr ULONG DISPATCH_REQUEST_ENTRIES = IRP_MJ_MAXIMUM_FUNCTION + 1;
static_assert(DISPATCH_REQUEST_ENTRIES == IRP_MJ_PNP + 1, "one request entry per major function");

struct DISPATCH_TABLE {
    PDRIVER_DISPATCH MajorFunction[DISPATCH_REQUEST_ENTRIES];  // null: the router's default
    PDEVICE_TEARDOWN Teardown;                                 // null: nothing to clean up
};
static_assert(sizeof(DISPATCH_TABLE) == (DISPATCH_REQUEST_ENTRIES + 1) * sizeof(PVOID),
              "28 request handlers, then the teardown");

// The table of a device, or null when the device has no extension.
DISPATCH_TABLE* DispatchTableOf(PDEVICE_OBJECT DeviceObject);

// Stores the outcome in the request and completes it at no priority boost.
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);

// The shared handler: completes the request with success and 0 bytes.
NTSTATUS NTAPI CompleteSuccess(PDEVICE_OBJECT DeviceObject, PIRP Irp);
