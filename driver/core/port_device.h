// Port devices: \Device\VSer<n> with the link \DosDevices\COM<n> and a value
// in the SERIALCOMM device map, one per module channel with a COM number.
#pragma once

#include "core/nt.h"

// Creates the port of channel c of the module; on success it is stored in the
// module's PortDevices[c].
NTSTATUS CreatePortDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT ModuleDevice,
                          ULONG ChannelIndex);

// Frees the port's receive buffer, removes its SERIALCOMM value and link and
// releases its names. Refuses (STATUS_UNSUCCESSFUL, nothing changed) while
// the port is open. The caller deletes the port device.
NTSTATUS ReleasePortDevice(PDEVICE_OBJECT PortDevice);

// The port's teardown at unload: the release without the open check.
NTSTATUS PortTeardown(PDEVICE_OBJECT PortDevice);
