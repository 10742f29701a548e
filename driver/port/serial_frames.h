// The line settings a serial I/O control sends to the module, one frame on
// the module's control connection followed by the wait for its reply.
#pragma once

#include "core/nt.h"

struct PortExtension;

enum class LineFrame { BaudRate, Framing, RtsOn, RtsOff };

// Builds the frame from the port's settings under PortLock and sends it
// with the module's lock held from building to the end of the reply wait.
// A send that failed or got no reply is not reported: STATUS_SUCCESS unless
// the send path itself reports a failure.
NTSTATUS SendPortFrame(PortExtension* Port, LineFrame Frame);

// Baud rate and framing stay local on a channel whose SerialParaFlag is set.
bool SendsLineSettings(const PortExtension* Port);
