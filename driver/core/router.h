// The seven routers: the driver object's entry points for create, close,
// read, write, flush, device control and cleanup. Each passes the request to
// the handler the target device's dispatch table holds for it.
#pragma once

#include "core/nt.h"

void InstallRouters(PDRIVER_OBJECT DriverObject);
