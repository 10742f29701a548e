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

// SetEvent and ResetEvent: the change on the event behind the handle.
BOOL Change(HANDLE handle, void (EventObject::*change)())
{
    const auto event = EventOf(handle);
    if (event == nullptr)
        return FailWith(ERROR_INVALID_HANDLE);
    (event.get()->*change)();
    return TRUE;
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
    return Change(hEvent, &EventObject::Set);
}

extern "C" BOOL WINAPI ResetEvent(HANDLE hEvent)
{
    return Change(hEvent, &EventObject::Reset);
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
