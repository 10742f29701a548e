// The port's device-control handler: the standard serial I/O controls (and
// four serial-enumerator ones). Most settings are only stored and handed
// back; baud rate, framing and RTS also reach the module.
#pragma once

#include "core/nt.h"

// The IRP_MJ_DEVICE_CONTROL handler. Completes every request except a
// wait-on-mask that it leaves pending.
NTSTATUS NTAPI PortDeviceControl(PDEVICE_OBJECT PortDevice, PIRP Irp);
