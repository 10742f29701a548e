// The control device's I/O control handler: adds, reads, counts and clears
// module records, starts and stops all modules, and saves, reloads or deletes
// the registry configuration. Every request completes before it returns.
#pragma once

#include "core/nt.h"

NTSTATUS NTAPI ControlDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
