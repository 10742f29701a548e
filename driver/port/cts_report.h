// A module's report of a channel's CTS level, applied to the channel's port.
#pragma once

#include "core/nt.h"

struct PortExtension;

// Keeps SERIAL_MSR_CTS of ModemStatus at the reported level; when the wait
// mask asks for SERIAL_EV_CTS, records the event and completes a pending
// wait. Called from the control receive's completion, at up to
// DISPATCH_LEVEL.
void ReportCtsChange(PortExtension* Port, BOOLEAN On);
