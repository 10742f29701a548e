// What zelvcomd has seen of the ports, asked on a connection of vcomctl's
// own: the request is the daemon's, not the driver's. Linux only.
#pragma once

#include <zelvcom_ipc/protocol.h>

namespace vcomctl {

// Every page of the daemon's answer, joined. Throws Failure: the daemon is
// not running (exit status 3), or it does not answer as asked.
zelipc::PortStatusPage QueryPortStatus();

}  // namespace vcomctl
