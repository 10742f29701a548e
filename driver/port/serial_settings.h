// Serial I/O controls that store a port's settings and hand them back.
// Baud rate, line control and RTS also reach the module as frames.
#pragma once

#include "port/serial_request.h"

NTSTATUS SetBaudRate(PortExtension* Port, SerialRequest* Request);
NTSTATUS GetBaudRate(PortExtension* Port, SerialRequest* Request);
NTSTATUS SetLineControl(PortExtension* Port, SerialRequest* Request);
NTSTATUS GetLineControl(PortExtension* Port, SerialRequest* Request);
NTSTATUS SetRts(PortExtension* Port, SerialRequest* Request);
NTSTATUS ClrRts(PortExtension* Port, SerialRequest* Request);
NTSTATUS SetTimeouts(PortExtension* Port, SerialRequest* Request);
NTSTATUS GetTimeouts(PortExtension* Port, SerialRequest* Request);
NTSTATUS SetHandFlow(PortExtension* Port, SerialRequest* Request);
NTSTATUS GetHandFlow(PortExtension* Port, SerialRequest* Request);
NTSTATUS SetChars(PortExtension* Port, SerialRequest* Request);
NTSTATUS GetChars(PortExtension* Port, SerialRequest* Request);
NTSTATUS GetConfigSize(PortExtension* Port, SerialRequest* Request);
