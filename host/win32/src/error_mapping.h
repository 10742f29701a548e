// NT status to Win32 error, as RtlNtStatusToDosError maps them.
#pragma once

#include "nt_status.h"

#include <windows.h>

namespace zelwin32 {

// A status without a Win32 counterpart gives ERROR_MR_MID_NOT_FOUND, as on
// Windows.
DWORD Win32ErrorFromStatus(NtStatus status);

}  // namespace zelwin32
