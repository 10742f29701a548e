// Completion of the receive a module keeps posted on its control connection.
#pragma once

#include "core/nt.h"

// Context: the ModuleExtension. Re-posts the receive while the connection
// delivers text and sets the module's ReplyEvent on every completion.
VOID ControlReceiveComplete(PVOID Context, PIO_STATUS_BLOCK StatusBlock, ULONG_PTR Extra);
