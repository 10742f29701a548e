// TDI_QUERY_PROVIDER_INFO through a control channel of the transport.
#pragma once

#include "core/nt.h"

#include <tdi.h>

// Opens a control channel on the device, queries the provider information
// into Info and closes the channel. Prints "Unable To Open TDI Control
// Channel\n" when the channel cannot be opened. Info must be resident (it
// is locked for the transport).
NTSTATUS QueryProviderInfo(PCWSTR DeviceName, TDI_PROVIDER_INFO* Info);
