// The kernel's TCP transport, the only way the driver reaches the network.
#pragma once

#include "core/nt.h"

PCWSTR const TCP_DEVICE_NAME = L"\\Device\\Tcp";
