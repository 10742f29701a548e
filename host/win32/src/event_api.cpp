// Event objects for OVERLAPPED.hEvent; they live in this process only (a
// name passed to CreateEventA is ignored).
#include "last_error.h"
#include "win32_process.h"

#include <windows.h>

using zelwin32::EventObject;
using zelwin32::FailWith;
using zelwin32::Win32Process;

namespace {

std::shared_ptr<EventObject> EventOf(HANDLE handle)
{
    return Win32Process::Instance().Handles().Event(handle);
}

}  // namespace

extern "C" HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES /*lpEventAttributes*/,
                                      BOOL bManualReset, BOOL bInitialState, LPCSTR /*lpName*/)
{
    auto event = std::make_shared<EventObject>(bManualReset != FALSE, bInitialState != FALSE);
    return Win32Process::Instance().Handles().Insert(std::move(event));
}

extern "C" BOOL WINAPI SetEvent(HANDLE hEvent)
{
    const auto event = EventOf(hEvent);
    if (event == nullptr)
        return FailWith(ERROR_INVALID_HANDLE);
    event->Set();
    return TRUE;
}

extern "C" BOOL WINAPI ResetEvent(HANDLE hEvent)
{
    const auto event = EventOf(hEvent);
    if (event == nullptr)
        return FailWith(ERROR_INVALID_HANDLE);
    event->Reset();
    return TRUE;
}

// Only events are waitable here.
extern "C" DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    const auto event = EventOf(hHandle);
    if (event == nullptr) {
        FailWith(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return event->Wait(dwMilliseconds);
}
