// NameTeardown: the teardown of devices whose extension keeps its two names
// right after the dispatch table (the control device and module devices).
#pragma once

#include "core/counted_string.h"
#include "core/dispatch_table.h"

// The leading fields that ControlExtension and ModuleExtension share.
struct NAMED_DEVICE_HEADER {
    DISPATCH_TABLE DispatchTable;
    CountedString DeviceName;
    CountedString LinkName;
};

// Deletes the device's link and releases both names.
NTSTATUS NameTeardown(PDEVICE_OBJECT DeviceObject);

// Deletes the link named by LinkName, if it has a name; the result of the
// deletion is returned.
NTSTATUS DeleteLinkByName(const CountedString& LinkName);
