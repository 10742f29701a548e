// The NT status a TDI client sees for a socket error (the values tcpip.sys
// reports through its TDI status codes).
#pragma once

#include <ntstatus.h>

namespace host {

NTSTATUS StatusFromErrno(int error);

}  // namespace host
