// Serial I/O controls on the port's status: modem status, comm status and
// purge.
#pragma once

#include "port/serial_request.h"

NTSTATUS GetModemStatus(PortExtension* Port, SerialRequest* Request);
NTSTATUS GetCommStatus(PortExtension* Port, SerialRequest* Request);
NTSTATUS Purge(PortExtension* Port, SerialRequest* Request);
