// Opening and releasing control handles.
#include "control_handle.h"
#include "library_heap.h"
#include "load_hooks.h"
#include "vzelserial_app.h"

#include <VZelSerial.h>

namespace {

using vzelserial::ControlHandle;

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

// The filled record, or null when there is no memory for it.
ControlHandle* NewControlHandle(HANDLE Device)
{
    auto* record = static_cast<ControlHandle*>(vzelserial::HeapAllocate(sizeof(ControlHandle)));
    if (record != nullptr) {
        record->Device = Device;
        record->Signature = vzelserial::CONTROL_HANDLE_SIGNATURE;
        record->Reserved = nullptr;
    }
    return record;
}

}  // namespace

extern "C" VZELSERIAL_API HANDLE VCOM_CreateDevice(void)
{
    const HANDLE device = OpenControlDevice();
    if (device == INVALID_HANDLE_VALUE) {
        return INVALID_HANDLE_VALUE;
    }
    vzelserial::NoteDeviceOpened();
    ControlHandle* record = NewControlHandle(device);
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
