// Module devices: one per record of the module table, each with one port
// device per channel that has a COM number.
#pragma once

#include "core/nt.h"

// Creates \Device\VZelSerial<i> and its link from record i of the control
// device's table, then its port devices (a port that cannot be made is
// simply absent).
NTSTATUS CreateModuleDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT ControlDevice,
                            ULONG ModuleIndex);

struct ModuleExtension;

// Whether any port of the module has IsOpen set.
bool AnyPortOpen(const ModuleExtension* Module);

// Removes the module's ports, their SERIALCOMM values and links, then the
// module's link and names. Refuses (STATUS_UNSUCCESSFUL, nothing changed)
// while any of its ports is open. The caller deletes the module device.
NTSTATUS StopModuleDevice(PDEVICE_OBJECT ModuleDevice);
