#include "config/control_ioctl.h"

#include <zelvcom/control_ioctl.h>

#include "config/module_table.h"
#include "config/registry_config.h"
#include "core/devices.h"
#include "core/dispatch_table.h"

namespace {

// One control request: its buffer and lengths, and what it returns.
struct ControlRequest {
    PDEVICE_OBJECT ControlDevice;
    ControlExtension* Control;
    PVOID SystemBuffer;
    ULONG InputLength;
    ULONG OutputLength;
    ULONG_PTR Information;  // bytes returned on success
};

constexpr ULONG RUNNING = 1;
constexpr ULONG NOT_RUNNING = 0;
// Windows numbers serial ports up to COM4096; 0 means the channel has none.
constexpr ULONG NO_PORT = 0;
constexpr ULONG LARGEST_COM_NUMBER = 4096;
// TCP ports are 16 bits on the wire.
constexpr ULONG LARGEST_TCP_PORT = 0xFFFF;

// A record is refused at the add when its ports could never be named or
// connected, or would take a COM name another channel already has: it
// would otherwise fail, or collide, only when the modules start.
bool RecordUsable(const ControlExtension* Control, const ModuleRecord& Record)
{
    if (Record.ControlPort > LARGEST_TCP_PORT) {
        return false;
    }
    for (ULONG c = 0; c < Record.SerialCount; ++c) {
        const ULONG comNumber = Record.SerialNum[c];
        if (comNumber == NO_PORT) {
            continue;
        }
        if (comNumber > LARGEST_COM_NUMBER || Record.SerialPort[c] > LARGEST_TCP_PORT ||
            IsComNumberListed(Control, comNumber)) {
            return false;
        }
        for (ULONG earlier = 0; earlier < c; ++earlier) {
            if (Record.SerialNum[earlier] == comNumber) {
                return false;
            }
        }
    }
    return true;
}

NTSTATUS AddModule(ControlRequest* Request)
{
    ControlExtension* control = Request->Control;
    if (ModuleTableFull(control)) {
        return STATUS_UNSUCCESSFUL;
    }
    if (Request->InputLength < VCOM_ADD_MODULE_INPUT_SIZE) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    const auto* record = static_cast<const ModuleRecord*>(Request->SystemBuffer);
    // A module device has room for MODULE_CHANNEL_COUNT channels only.
    if (record->SerialCount > MODULE_CHANNEL_COUNT) {
        return STATUS_INVALID_PARAMETER;
    }
    if (IsModuleIPListed(control, record->ModuleIP)) {
        return STATUS_UNSUCCESSFUL;
    }
    if (!RecordUsable(control, *record)) {
        return STATUS_INVALID_PARAMETER;
    }
    AppendModuleRecord(control, *record);
    return STATUS_SUCCESS;
}

// Every module device that exists, whatever the table now holds (a clear or
// a shorter reload leaves running devices beyond ModuleCount). A module
// that refuses does not keep the others from stopping; the request fails
// with its status.
NTSTATUS StopAllSerial(ControlRequest* Request)
{
    ControlExtension* control = Request->Control;
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = 0; i < MODULE_TABLE_SIZE; ++i) {
        PDEVICE_OBJECT module = control->ModuleDevices[i];
        if (module == nullptr) {
            continue;
        }
        NTSTATUS stopped = StopModuleDevice(module);
        if (NT_SUCCESS(stopped)) {
            IoDeleteDevice(module);
            control->ModuleDevices[i] = nullptr;
        } else if (NT_SUCCESS(status)) {
            status = stopped;
        }
    }
    return status;
}

// The last module's status, unless an earlier one fell short of resources:
// its missing devices are not hidden by a later module's start.
NTSTATUS StartAllSerial(ControlRequest* Request)
{
    ControlExtension* control = Request->Control;
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = 0; i < control->ModuleCount; ++i) {
        NTSTATUS started = CreateModuleDevice(control->DriverObject, Request->ControlDevice, i);
        if (status != STATUS_INSUFFICIENT_RESOURCES) {
            status = started;
        }
    }
    return status;
}

NTSTATUS GetRunStatus(ControlRequest* Request)
{
    if (Request->OutputLength < VCOM_RUN_STATUS_OUTPUT_SIZE) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    *static_cast<PULONG>(Request->SystemBuffer) =
        AnyModuleRunning(Request->Control) ? RUNNING : NOT_RUNNING;
    Request->Information = VCOM_RUN_STATUS_OUTPUT_SIZE;
    return STATUS_SUCCESS;
}

NTSTATUS GetModuleRecord(ControlRequest* Request)
{
    if (Request->InputLength < VCOM_MODULE_INDEX_INPUT_SIZE ||
        Request->OutputLength < VCOM_MODULE_INFO_OUTPUT_SIZE) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    ULONG index = *static_cast<const ULONG*>(Request->SystemBuffer);
    if (index >= Request->Control->ModuleCount) {
        return STATUS_UNSUCCESSFUL;
    }
    RtlCopyMemory(Request->SystemBuffer, &Request->Control->Modules[index], sizeof(ModuleRecord));
    Request->Information = VCOM_MODULE_INFO_OUTPUT_SIZE;
    return STATUS_SUCCESS;
}

NTSTATUS GetModuleCount(ControlRequest* Request)
{
    if (Request->OutputLength < VCOM_MODULE_COUNT_OUTPUT_SIZE) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    *static_cast<PULONG>(Request->SystemBuffer) = Request->Control->ModuleCount;
    Request->Information = VCOM_MODULE_COUNT_OUTPUT_SIZE;
    return STATUS_SUCCESS;
}

NTSTATUS Dispatch(ULONG Code, ControlRequest* Request)
{
    switch (Code) {
    case IOCTL_VCOM_ADD_MODULE:
        return AddModule(Request);
    case IOCTL_VCOM_STOP_ALL_SERIAL:
        return StopAllSerial(Request);
    case IOCTL_VCOM_START_ALL_SERIAL:
        return StartAllSerial(Request);
    case IOCTL_VCOM_SAVE_INFO_REG:
        return SaveModuleConfig(Request->Control);
    case IOCTL_VCOM_RESET_READ_REG:
        return LoadModuleConfig(Request->Control);
    case IOCTL_VCOM_GET_DEV_RUN_STS:
        return GetRunStatus(Request);
    case IOCTL_VCOM_CLEAR_DEV_INFO:
        ClearModuleTable(Request->Control);
        return STATUS_SUCCESS;
    case IOCTL_VCOM_CLEAR_DEV_REG:
        return DeleteModuleConfig(Request->Control);
    case IOCTL_VCOM_GET_DEV_MOD_INFO:
        return GetModuleRecord(Request);
    case IOCTL_VCOM_GET_DEV_MOD_COUNT:
        return GetModuleCount(Request);
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

}  // namespace

NTSTATUS NTAPI ControlDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ControlRequest request;
    request.ControlDevice = DeviceObject;
    request.Control = ControlExtensionOf(DeviceObject);
    request.SystemBuffer = Irp->AssociatedIrp.SystemBuffer;
    request.InputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    request.OutputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    request.Information = 0;

    NTSTATUS status = Dispatch(stack->Parameters.DeviceIoControl.IoControlCode, &request);
    return CompleteRequest(Irp, status, NT_SUCCESS(status) ? request.Information : 0);
}
