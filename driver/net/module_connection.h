// The module device's create and close handlers: the module's control
// connection is up while any of its ports (or an application holding the
// module device) is open. Neither completes the request it is given, and
// both run with the module's lock held (core/module_lock.h).
#pragma once

#include "core/nt.h"

// Brings the control connection up (open, connect, post its receive) unless
// a port of the module is open already.
NTSTATUS NTAPI ModuleCreate(PDEVICE_OBJECT ModuleDevice, PIRP Irp);

// Takes the control connection down when no port of the module is open.
NTSTATUS NTAPI ModuleClose(PDEVICE_OBJECT ModuleDevice, PIRP Irp);
