#include "last_error.h"

#include "error_mapping.h"

namespace zelwin32 {
namespace {

// Win32 keeps the last error per thread.
thread_local DWORD threadLastError = ERROR_SUCCESS;

}  // namespace

void SetThreadError(DWORD error)
{
    threadLastError = error;
}

BOOL FailWith(DWORD error)
{
    SetThreadError(error);
    return FALSE;
}

BOOL FailWithStatus(NtStatus status)
{
    return FailWith(Win32ErrorFromStatus(status));
}

}  // namespace zelwin32

extern "C" DWORD WINAPI GetLastError(void)
{
    return zelwin32::threadLastError;
}

extern "C" void WINAPI SetLastError(DWORD dwErrCode)
{
    zelwin32::SetThreadError(dwErrCode);
}
