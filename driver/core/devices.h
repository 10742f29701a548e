// The driver's devices and their names: the control device
// \Device\ZelMinVirtCOM, one module device \Device\VZelSerial<i> per record
// of the module table, and one port device \Device\VSer<n> (link
// \DosDevices\COM<n>, a value in the SERIALCOMM device map) per module
// channel with a COM number. Creation, and the teardown that removes links,
// names and map values before a device object is deleted. Also the
// per-module lock: the module's control connection and the opens and closes
// of its ports happen one at a time, so OpenPortCount always equals the
// number of open ports. It is taken at PASSIVE_LEVEL only and held across
// connects and disconnects, which wait.
#pragma once

#include "core/counted_string.h"
#include "core/dispatch_table.h"
#include "core/nt.h"

// The leading fields that ControlExtension and ModuleExtension share.
struct NAMED_DEVICE_HEADER {
    DISPATCH_TABLE DispatchTable;
    CountedString DeviceName;
    CountedString LinkName;
};

// True when Extension holds its names where NAMED_DEVICE_HEADER does, which
// is where NameTeardown looks for them.
template <typename Extension>
constexpr bool SharesNamedDeviceHeader()
{
    return offsetof(Extension, DeviceName) == offsetof(NAMED_DEVICE_HEADER, DeviceName) &&
           offsetof(Extension, LinkName) == offsetof(NAMED_DEVICE_HEADER, LinkName);
}

// Deletes the device's link and releases both names.
NTSTATUS NameTeardown(PDEVICE_OBJECT DeviceObject);

// Deletes the link named by LinkName, if it has a name; the result of the
// deletion is returned.
NTSTATUS DeleteLinkByName(const CountedString& LinkName);

void FormNumberedName(CountedString* Name, PCWSTR Prefix, ULONG Number);

// Creates a device and its link under the two names. When the link cannot be
// made, the device is deleted again and the link's status returned. Empty
// names create nothing.
NTSTATUS CreateNamedDevice(PDRIVER_OBJECT DriverObject, ULONG ExtensionSize,
                           const CountedString& DeviceName, const CountedString& LinkName,
                           DEVICE_TYPE DeviceType, ULONG Characteristics, BOOLEAN Exclusive,
                           PDEVICE_OBJECT* Device);

// Deletes a device made by CreateNamedDevice, and its link.
void DeleteNamedDevice(PDEVICE_OBJECT Device, const CountedString& LinkName);

// Gives an extension's name field an owned copy of Name; false (the field
// Empty) when the pool refuses.
bool KeepName(CountedString* Field, const CountedString& Name);

// Both names into an extension's fields. When either copy fails, neither
// is kept: a device whose link name is lost could never remove its link.
bool KeepNames(CountedString* DeviceField, CountedString* LinkField,
               const CountedString& DeviceName, const CountedString& LinkName);

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

// Creates \Device\VZelSerial<i> and its link from record i of the control
// device's table, then its port devices. A port whose name is taken is
// simply absent; one short of resources is absent too, and the result is
// STATUS_INSUFFICIENT_RESOURCES with the module device left for a stop to
// remove.
NTSTATUS CreateModuleDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT ControlDevice,
                            ULONG ModuleIndex);

struct ModuleExtension;

// Whether any port of the module has IsOpen set.
bool AnyPortOpen(const ModuleExtension* Module);

// Removes the module's ports, their SERIALCOMM values and links, then the
// module's link and names. Refuses (STATUS_UNSUCCESSFUL, nothing changed)
// while any of its ports is open. The caller deletes the module device.
NTSTATUS StopModuleDevice(PDEVICE_OBJECT ModuleDevice);

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
