// The per-module lock: the module's control connection and the opens and
// closes of its ports happen one at a time, so OpenPortCount always equals
// the number of open ports. Taken at PASSIVE_LEVEL only; it is held across
// connects and disconnects, which wait.
#pragma once

#include "core/nt.h"

struct ModuleExtension;

void InitializeModuleLock(ModuleExtension* Module);
void AcquireModuleLock(ModuleExtension* Module);
void ReleaseModuleLock(ModuleExtension* Module);

// An application's create or close of the module device itself: the
// module's handler runs with the module's lock held, as from a port's open
// and close. A create that fails runs the close handler too, so a control
// connection opened only for the attempt is closed again. The caller
// completes the request.
NTSTATUS CallModuleHandlerLocked(UCHAR MajorFunction, PDRIVER_DISPATCH Handler,
                                 PDEVICE_OBJECT ModuleDevice, PIRP Irp);
