// The NT kernel API of the host: ntddk.h is wdm.h plus the routines a legacy
// (non-Plug-and-Play) driver uses beyond WDM. Everything the driver needs is
// declared in wdm.h today; this header keeps the WDK's include shape.
#pragma once

#include <wdm.h>
