// The NT status values zelwin32 meets: the daemon answers with the driver's
// status, and the library turns it into a Win32 error as Windows does.
// Values as in ntstatus.h; kept here so the Win32 side never includes the
// NT headers.
#pragma once

#include <cstdint>

namespace zelwin32 {

using NtStatus = std::int32_t;

constexpr NtStatus Status(std::uint32_t value)
{
    return static_cast<NtStatus>(value);
}

constexpr NtStatus kStatusSuccess = Status(0x00000000);
constexpr NtStatus kStatusTimeout = Status(0x00000102);
constexpr NtStatus kStatusPending = Status(0x00000103);
constexpr NtStatus kStatusBufferOverflow = Status(0x80000005);
constexpr NtStatus kStatusDeviceBusy = Status(0x80000011);
constexpr NtStatus kStatusUnsuccessful = Status(0xC0000001);
constexpr NtStatus kStatusNotImplemented = Status(0xC0000002);
constexpr NtStatus kStatusInvalidHandle = Status(0xC0000008);
constexpr NtStatus kStatusInvalidParameter = Status(0xC000000D);
constexpr NtStatus kStatusNoSuchDevice = Status(0xC000000E);
constexpr NtStatus kStatusInvalidDeviceRequest = Status(0xC0000010);
constexpr NtStatus kStatusEndOfFile = Status(0xC0000011);
constexpr NtStatus kStatusNoMemory = Status(0xC0000017);
constexpr NtStatus kStatusAccessDenied = Status(0xC0000022);
constexpr NtStatus kStatusBufferTooSmall = Status(0xC0000023);
constexpr NtStatus kStatusObjectNameInvalid = Status(0xC0000033);
constexpr NtStatus kStatusObjectNameNotFound = Status(0xC0000034);
constexpr NtStatus kStatusObjectNameCollision = Status(0xC0000035);
constexpr NtStatus kStatusObjectPathNotFound = Status(0xC000003A);
constexpr NtStatus kStatusSharingViolation = Status(0xC0000043);
constexpr NtStatus kStatusDeletePending = Status(0xC0000056);
constexpr NtStatus kStatusInsufficientResources = Status(0xC000009A);
constexpr NtStatus kStatusDeviceNotConnected = Status(0xC000009D);
constexpr NtStatus kStatusDeviceNotReady = Status(0xC00000A3);
constexpr NtStatus kStatusNotSupported = Status(0xC00000BB);
constexpr NtStatus kStatusDeviceDoesNotExist = Status(0xC00000C0);
constexpr NtStatus kStatusIoTimeout = Status(0xC00000B5);
constexpr NtStatus kStatusIoDeviceError = Status(0xC0000185);
constexpr NtStatus kStatusInvalidUserBuffer = Status(0xC00000E8);
constexpr NtStatus kStatusTooManyOpenedFiles = Status(0xC000011F);
constexpr NtStatus kStatusCancelled = Status(0xC0000120);
constexpr NtStatus kStatusNotFound = Status(0xC0000225);
constexpr NtStatus kStatusConnectionDisconnected = Status(0xC000020C);
constexpr NtStatus kStatusConnectionReset = Status(0xC000020D);
constexpr NtStatus kStatusConnectionRefused = Status(0xC0000236);
constexpr NtStatus kStatusNetworkUnreachable = Status(0xC000023C);
constexpr NtStatus kStatusHostUnreachable = Status(0xC000023D);
constexpr NtStatus kStatusConnectionAborted = Status(0xC0000241);
constexpr NtStatus kStatusDeviceRemoved = Status(0xC00002B6);

// NT_SUCCESS: success and informational codes.
constexpr bool IsSuccess(NtStatus status)
{
    return status >= 0;
}

}  // namespace zelwin32
