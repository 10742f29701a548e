// The module table's persistent form below the service key ZelVCOM: load at
// driver start and on request, save and delete on request. Each works on the
// control device's extension and changes either the table or the registry,
// never both.
#pragma once

#include "core/control_device.h"

// Fills the table in place from the registry. Returns the status of the last
// query made, or that of the first when it fails.
NTSTATUS LoadModuleConfig(ControlExtension* Control);

// Writes the table to the registry; ModuleCount last and only when every
// module's own values were written. Returns the last write's status.
NTSTATUS SaveModuleConfig(ControlExtension* Control);

// Deletes ModuleCount and the numeric values of the modules in the table.
// Always STATUS_SUCCESS.
NTSTATUS DeleteModuleConfig(ControlExtension* Control);

// Converts Source to the system's ANSI code page into Field: at most
// FieldSize - 1 bytes and a NUL. False, with Field untouched, when the
// conversion fails.
bool CopyUnicodeToAnsi(PCUNICODE_STRING Source, PCHAR Field, ULONG FieldSize);
