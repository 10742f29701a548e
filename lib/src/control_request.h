// Sends one control I/O control through a live control handle.
#pragma once

#include "control_handle.h"

#include <windows.h>

namespace vzelserial {

// DeviceIoControl's result: nonzero on success. Synchronous: no OVERLAPPED,
// and the driver completes every control request before returning.
BOOL SendControl(const ControlHandle& Handle, DWORD Code, void* Input, DWORD InputSize, void* Output,
                 DWORD OutputSize);

inline BOOL SendControl(const ControlHandle& Handle, DWORD Code)
{
    return SendControl(Handle, Code, nullptr, 0, nullptr, 0);
}

}  // namespace vzelserial
