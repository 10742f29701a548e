// Forms the run-time names of module and port devices: a literal followed by
// a number in decimal. A name that cannot be built comes back Empty.
#pragma once

#include "core/counted_string.h"

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
