// The calling thread's last-error code (GetLastError), and the small helpers
// every API function uses to fail the Windows way.
#pragma once

#include "nt_status.h"

#include <windows.h>

namespace zelwin32 {

void SetThreadError(DWORD error);
// Sets the error and returns FALSE, the usual failure of a BOOL function.
BOOL FailWith(DWORD error);
// Fails with the Win32 error of an NT status.
BOOL FailWithStatus(NtStatus status);

}  // namespace zelwin32
