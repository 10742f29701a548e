// The twelve exports. Each refuses a handle that is not live (and a null
// data pointer) before sending anything.
#include "library.h"

#include <VZelSerial.h>
#include <zelvcom/control_ioctl.h>

#include <cstring>

namespace {

using vzelserial::ControlHandle;
using vzelserial::LiveHandle;
using vzelserial::ReceiveWord;
using vzelserial::SendControl;
using vzelserial::SendPlain;

constexpr const char CONTROL_DEVICE_PATH[] = "\\\\.\\ZelMain";
constexpr DWORD CONTROL_DEVICE_ACCESS = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD EXCLUSIVE_SHARE_MODE = 0;
// Opened overlapped, yet every request completes synchronously: the driver
// finishes each control request before its handler returns.
constexpr DWORD CONTROL_DEVICE_FLAGS = FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL;

HANDLE OpenControlDevice()
{
    return CreateFileA(CONTROL_DEVICE_PATH, CONTROL_DEVICE_ACCESS, EXCLUSIVE_SHARE_MODE, nullptr,
                       OPEN_EXISTING, CONTROL_DEVICE_FLAGS, nullptr);
}

constexpr DWORD RECORD_BYTES = MODULE_RECORD_SIZE;
constexpr DWORD WORD_BYTES = sizeof(DWORD);

}  // namespace

extern "C" VZELSERIAL_API HANDLE VCOM_CreateDevice(void)
{
    const HANDLE device = OpenControlDevice();
    if (device == INVALID_HANDLE_VALUE) {
        return INVALID_HANDLE_VALUE;
    }
    vzelserial::NoteDeviceOpened();
    ControlHandle* record = vzelserial::NewControlHandle(device);
    if (record == nullptr) {
        CloseHandle(device);
        return INVALID_HANDLE_VALUE;
    }
    // Without a node the unload step could not release the handle: give up
    // the same way as for the record.
    if (!vzelserial::TheApp().OpenHandles().Append(record)) {
        vzelserial::HeapRelease(record);
        CloseHandle(device);
        return INVALID_HANDLE_VALUE;
    }
    return record;
}

extern "C" VZELSERIAL_API BOOL VCOM_ReleaseDevice(HANDLE Device)
{
    ControlHandle* record = vzelserial::LiveHandle(Device);
    if (record == nullptr) {
        return TRUE;
    }
    // A handle missing from the list is released all the same.
    vzelserial::TheApp().OpenHandles().RemoveFirst(record);
    CloseHandle(record->Device);
    record->Signature = vzelserial::RELEASED_HANDLE_SIGNATURE;
    vzelserial::HeapRelease(record);
    return TRUE;
}

extern "C" VZELSERIAL_API BOOL VCOM_AddModule(HANDLE Device, const ModuleRecord* Record)
{
    const ControlHandle* handle = LiveHandle(Device);
    if (handle == nullptr || Record == nullptr) {
        return FALSE;
    }
    // The caller's record goes out as it is; the driver only reads input.
    void* input = const_cast<ModuleRecord*>(Record);
    return SendControl(*handle, IOCTL_VCOM_ADD_MODULE, input, RECORD_BYTES, nullptr, 0) ? TRUE
                                                                                        : FALSE;
}

extern "C" VZELSERIAL_API BOOL VCOM_StopAllSerial(HANDLE Device)
{
    return SendPlain(Device, IOCTL_VCOM_STOP_ALL_SERIAL);
}

extern "C" VZELSERIAL_API BOOL VCOM_StartAllSerial(HANDLE Device)
{
    return SendPlain(Device, IOCTL_VCOM_START_ALL_SERIAL);
}

extern "C" VZELSERIAL_API BOOL VCOM_SaveInfoReg(HANDLE Device)
{
    return SendPlain(Device, IOCTL_VCOM_SAVE_INFO_REG);
}

extern "C" VZELSERIAL_API BOOL VCOM_ResetReadReg(HANDLE Device)
{
    return SendPlain(Device, IOCTL_VCOM_RESET_READ_REG);
}

extern "C" VZELSERIAL_API BOOL VCOM_ClearDevInfo(HANDLE Device)
{
    return SendPlain(Device, IOCTL_VCOM_CLEAR_DEV_INFO);
}

extern "C" VZELSERIAL_API BOOL VCOM_ClearDevReg(HANDLE Device)
{
    return SendPlain(Device, IOCTL_VCOM_CLEAR_DEV_REG);
}

extern "C" VZELSERIAL_API BOOL VCOM_GetDevRunSts(HANDLE Device, DWORD* RunStatus)
{
    return ReceiveWord(Device, IOCTL_VCOM_GET_DEV_RUN_STS, RunStatus);
}

extern "C" VZELSERIAL_API BOOL VCOM_GetDevModCount(HANDLE Device, DWORD* ModuleCount)
{
    return ReceiveWord(Device, IOCTL_VCOM_GET_DEV_MOD_COUNT, ModuleCount);
}

extern "C" VZELSERIAL_API BOOL VCOM_GetDevModInfo(HANDLE Device, DWORD Index, ModuleRecord* Record)
{
    const ControlHandle* handle = LiveHandle(Device);
    if (handle == nullptr || Record == nullptr) {
        return FALSE;
    }
    // Received locally, so a failure leaves the caller's buffer untouched.
    DWORD index = Index;
    ModuleRecord received{};
    if (!SendControl(*handle, IOCTL_VCOM_GET_DEV_MOD_INFO, &index, WORD_BYTES, &received,
                     RECORD_BYTES)) {
        return FALSE;
    }
    std::memcpy(Record, &received, RECORD_BYTES);
    return TRUE;
}
