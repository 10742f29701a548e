// The comm API: each function is the serial I/O controls Windows issues for
// it, sent with DeviceIoControl.
#include "comm_port.h"

#include <windows.h>

namespace {

zelwin32::CommPort Port(HANDLE file)
{
    return zelwin32::CommPort(file, DeviceIoControl);
}

}  // namespace

extern "C" BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB)
{
    return Port(hFile).GetState(lpDCB);
}

extern "C" BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB)
{
    return Port(hFile).SetState(lpDCB);
}

extern "C" BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    return Port(hFile).GetTimeouts(lpCommTimeouts);
}

extern "C" BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    return Port(hFile).SetTimeouts(lpCommTimeouts);
}

extern "C" BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask)
{
    return Port(hFile).SetMask(dwEvtMask);
}

extern "C" BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask)
{
    return Port(hFile).GetMask(lpEvtMask);
}

extern "C" BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped)
{
    return Port(hFile).WaitEvent(lpEvtMask, lpOverlapped);
}

extern "C" BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags)
{
    return Port(hFile).Purge(dwFlags);
}

extern "C" BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc)
{
    return Port(hFile).Escape(dwFunc);
}

extern "C" BOOL WINAPI SetCommBreak(HANDLE hFile)
{
    return Port(hFile).Escape(SETBREAK);
}

extern "C" BOOL WINAPI ClearCommBreak(HANDLE hFile)
{
    return Port(hFile).Escape(CLRBREAK);
}

extern "C" BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat)
{
    return Port(hFile).ClearError(lpErrors, lpStat);
}

extern "C" BOOL WINAPI GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat)
{
    return Port(hFile).GetModemStatus(lpModemStat);
}

extern "C" BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue)
{
    return Port(hFile).Setup(dwInQueue, dwOutQueue);
}
