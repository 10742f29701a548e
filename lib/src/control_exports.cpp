// The ten exports that each send one control I/O control. Each refuses a
// handle that is not live (and a null data pointer) before sending anything.
#include "control_handle.h"
#include "control_request.h"

#include <VZelSerial.h>
#include <zelvcom/control_ioctl.h>

#include <cstring>

namespace {

using vzelserial::ControlHandle;
using vzelserial::LiveHandle;
using vzelserial::SendControl;

constexpr DWORD RECORD_BYTES = MODULE_RECORD_SIZE;
constexpr DWORD WORD_BYTES = sizeof(DWORD);

// The request without data: the handle test, then DeviceIoControl's result.
BOOL SendPlain(HANDLE Device, DWORD Code)
{
    const ControlHandle* handle = LiveHandle(Device);
    return handle != nullptr ? SendControl(*handle, Code) : FALSE;
}

// A request answered with one 32-bit word, stored only on success. A null
// output pointer is refused like a null record pointer: 0, nothing sent.
BOOL ReceiveWord(HANDLE Device, DWORD Code, DWORD* Word)
{
    const ControlHandle* handle = LiveHandle(Device);
    if (handle == nullptr || Word == nullptr) {
        return FALSE;
    }
    DWORD received = 0;
    if (!SendControl(*handle, Code, nullptr, 0, &received, WORD_BYTES)) {
        return FALSE;
    }
    *Word = received;
    return TRUE;
}

}  // namespace

extern "C" VZELSERIAL_API BOOL VCOM_AddModule(HANDLE Device, const ModuleRecord* Record)
{
    const ControlHandle* handle = LiveHandle(Device);
    if (handle == nullptr || Record == nullptr) {
        return FALSE;
    }
    // The caller's record goes out as it is; the driver only reads input.
    void* input = const_cast<ModuleRecord*>(Record);
    return SendControl(*handle, IOCTL_VCOM_ADD_MODULE, input, RECORD_BYTES, nullptr, 0) ? TRUE : FALSE;
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
    if (!SendControl(*handle, IOCTL_VCOM_GET_DEV_MOD_INFO, &index, WORD_BYTES, &received, RECORD_BYTES)) {
        return FALSE;
    }
    std::memcpy(Record, &received, RECORD_BYTES);
    return TRUE;
}
