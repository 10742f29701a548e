// The control device \Device\ZelMinVirtCOM (\\.\ZelMain) and its extension,
// which owns the module table.
#pragma once

#include <zelvcom/module_record.h>

#include "core/counted_string.h"
#include "core/devices.h"
#include "core/dispatch_table.h"

struct ControlExtension {
    DISPATCH_TABLE DispatchTable;
    CountedString DeviceName;  // "\Device\ZelMinVirtCOM"
    CountedString LinkName;    // "\DosDevices\ZelMain"
    ULONG ModuleCount;         // records in use
    ModuleRecord Modules[MODULE_TABLE_SIZE];
    PDEVICE_OBJECT ModuleDevices[MODULE_TABLE_SIZE];  // device of record i, or null
    PDRIVER_OBJECT DriverObject;                      // where module and port devices go
};

static_assert(SharesNamedDeviceHeader<ControlExtension>(),
              "NameTeardown finds the control device's names");

inline ControlExtension* ControlExtensionOf(PDEVICE_OBJECT ControlDevice)
{
    return static_cast<ControlExtension*>(ControlDevice->DeviceExtension);
}

// Creates the control device and its link, named by DeviceName and LinkName,
// and fills its extension. On failure nothing remains; a failed link prints
// "MAIN Create Error\n".
NTSTATUS CreateControlDevice(PDRIVER_OBJECT DriverObject, const CountedString& DeviceName,
                             const CountedString& LinkName, PDEVICE_OBJECT* ControlDevice);
