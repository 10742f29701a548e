// One control I/O control through a live control handle.
#include "library.h"

namespace vzelserial {

BOOL SendControl(const ControlHandle& Handle, DWORD Code, void* Input, DWORD InputSize,
                 void* Output, DWORD OutputSize)
{
    DWORD bytesReturned = 0;  // required by the call, never looked at
    return DeviceIoControl(Handle.Device, Code, Input, InputSize, Output, OutputSize,
                           &bytesReturned, nullptr);
}

BOOL SendPlain(HANDLE Device, DWORD Code)
{
    const ControlHandle* handle = LiveHandle(Device);
    return handle != nullptr ? SendControl(*handle, Code) : FALSE;
}

BOOL ReceiveWord(HANDLE Device, DWORD Code, DWORD* Word)
{
    const ControlHandle* handle = LiveHandle(Device);
    if (handle == nullptr || Word == nullptr) {
        return FALSE;
    }
    DWORD received = 0;
    if (!SendControl(*handle, Code, nullptr, 0, &received, sizeof(DWORD))) {
        return FALSE;
    }
    *Word = received;
    return TRUE;
}

}  // namespace vzelserial
