#include "error_mapping.h"

#include <utility>

namespace zelwin32 {
namespace {

constexpr std::pair<NtStatus, DWORD> kStatusToError[] = {
    {kStatusSuccess, ERROR_SUCCESS},
    {kStatusTimeout, ERROR_TIMEOUT},
    {kStatusPending, ERROR_IO_PENDING},
    {kStatusBufferOverflow, ERROR_MORE_DATA},
    {kStatusDeviceBusy, ERROR_BUSY},
    {kStatusUnsuccessful, ERROR_GEN_FAILURE},
    {kStatusNotImplemented, ERROR_INVALID_FUNCTION},
    {kStatusInvalidHandle, ERROR_INVALID_HANDLE},
    {kStatusInvalidParameter, ERROR_INVALID_PARAMETER},
    {kStatusNoSuchDevice, ERROR_FILE_NOT_FOUND},
    {kStatusInvalidDeviceRequest, ERROR_INVALID_FUNCTION},
    {kStatusEndOfFile, ERROR_HANDLE_EOF},
    {kStatusNoMemory, ERROR_NOT_ENOUGH_MEMORY},
    {kStatusAccessDenied, ERROR_ACCESS_DENIED},
    {kStatusBufferTooSmall, ERROR_INSUFFICIENT_BUFFER},
    {kStatusObjectNameInvalid, ERROR_INVALID_NAME},
    {kStatusObjectNameNotFound, ERROR_FILE_NOT_FOUND},
    {kStatusObjectNameCollision, ERROR_ALREADY_EXISTS},
    {kStatusObjectPathNotFound, ERROR_PATH_NOT_FOUND},
    {kStatusSharingViolation, ERROR_SHARING_VIOLATION},
    {kStatusDeletePending, ERROR_ACCESS_DENIED},
    {kStatusInsufficientResources, ERROR_NO_SYSTEM_RESOURCES},
    {kStatusDeviceNotConnected, ERROR_NOT_READY},
    {kStatusDeviceNotReady, ERROR_NOT_READY},
    {kStatusNotSupported, ERROR_NOT_SUPPORTED},
    {kStatusDeviceDoesNotExist, ERROR_DEV_NOT_EXIST},
    {kStatusIoTimeout, ERROR_SEM_TIMEOUT},
    {kStatusIoDeviceError, ERROR_IO_DEVICE},
    {kStatusInvalidUserBuffer, ERROR_INVALID_USER_BUFFER},
    {kStatusTooManyOpenedFiles, ERROR_TOO_MANY_OPEN_FILES},
    {kStatusCancelled, ERROR_OPERATION_ABORTED},
    {kStatusNotFound, ERROR_NOT_FOUND},
    {kStatusConnectionDisconnected, ERROR_NETNAME_DELETED},
    {kStatusConnectionReset, ERROR_NETNAME_DELETED},
    {kStatusConnectionRefused, ERROR_CONNECTION_REFUSED},
    {kStatusNetworkUnreachable, ERROR_NETWORK_UNREACHABLE},
    {kStatusHostUnreachable, ERROR_HOST_UNREACHABLE},
    {kStatusConnectionAborted, ERROR_CONNECTION_ABORTED},
    {kStatusDeviceRemoved, ERROR_DEVICE_REMOVED},
};

}  // namespace

DWORD Win32ErrorFromStatus(NtStatus status)
{
    for (const auto& [from, to] : kStatusToError) {
        if (from == status) {
            return to;
        }
    }
    return ERROR_MR_MID_NOT_FOUND;
}

}  // namespace zelwin32
