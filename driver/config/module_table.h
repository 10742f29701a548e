// The module table in the control device's extension: ModuleCount records in
// use, in the order they were added or loaded, and the module device created
// from each. It only grows at its end or is cleared whole.
#pragma once

#include "core/control_device.h"

// Zeroes every record and device slot; ModuleCount is left alone.
void ResetModuleTable(ControlExtension* Control);

// Empties the table: ModuleCount 0, every record zero. The device slots
// stay: a module device that still exists is still stopped by stop-all.
void ClearModuleTable(ControlExtension* Control);

bool ModuleTableFull(const ControlExtension* Control);

// Appends a copy of Record; the caller has checked that the table has room.
void AppendModuleRecord(ControlExtension* Control, const ModuleRecord& Record);

// The channels of a record that a module device serves: SerialCount, but
// never more than a module has.
ULONG ChannelCountOf(const ModuleRecord& Record);

// True when a record in use has this ModuleIP.
bool IsModuleIPListed(const ControlExtension* Control, ULONG ModuleIP);

// True when a channel of a record in use has COM<ComNumber> (not 0).
bool IsComNumberListed(const ControlExtension* Control, ULONG ComNumber);

// True when any record in use has a module device.
bool AnyModuleRunning(const ControlExtension* Control);
