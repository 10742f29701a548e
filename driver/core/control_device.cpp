#include "core/control_device.h"

#include "config/control_ioctl.h"
#include "core/device_names.h"

namespace {

void FillControlDispatchTable(DISPATCH_TABLE* Table)
{
    Table->MajorFunction[IRP_MJ_CREATE] = CompleteSuccess;
    Table->MajorFunction[IRP_MJ_CLOSE] = CompleteSuccess;
    Table->MajorFunction[IRP_MJ_DEVICE_CONTROL] = ControlDeviceControl;
    Table->Teardown = NameTeardown;
}

}  // namespace

NTSTATUS CreateControlDevice(PDRIVER_OBJECT DriverObject, const CountedString& DeviceName,
                             const CountedString& LinkName, PDEVICE_OBJECT* ControlDevice)
{
    *ControlDevice = nullptr;
    if (DeviceName.IsEmpty() || LinkName.IsEmpty()) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    UNICODE_STRING deviceName = DeviceName.AsUnicodeString();
    UNICODE_STRING linkName = LinkName.AsUnicodeString();

    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(ControlExtension), &deviceName,
                                     FILE_DEVICE_UNKNOWN, 0, TRUE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = IoCreateSymbolicLink(&linkName, &deviceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        DbgPrint("MAIN Create Error\n");
        return status;
    }
    device->Flags |= DO_BUFFERED_IO;

    ControlExtension* extension = ControlExtensionOf(device);
    KeepName(&extension->DeviceName, DeviceName);
    KeepName(&extension->LinkName, LinkName);
    FillControlDispatchTable(&extension->DispatchTable);
    extension->DriverObject = DriverObject;

    device->Flags &= ~DO_DEVICE_INITIALIZING;
    *ControlDevice = device;
    return STATUS_SUCCESS;
}
