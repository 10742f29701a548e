#include "control_request.h"

namespace vzelserial {

BOOL SendControl(const ControlHandle& Handle, DWORD Code, void* Input, DWORD InputSize, void* Output,
                 DWORD OutputSize)
{
    DWORD bytesReturned = 0;  // required by the call, never looked at
    return DeviceIoControl(Handle.Device, Code, Input, InputSize, Output, OutputSize, &bytesReturned,
                           nullptr);
}

}  // namespace vzelserial
