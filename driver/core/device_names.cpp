#include "core/device_names.h"

#include "core/name_teardown.h"

void FormNumberedName(CountedString* Name, PCWSTR Prefix, ULONG Number)
{
    CountedString digits;
    digits.InitFromInteger(Number);
    Name->InitFromLiteral(Prefix);
    if (digits.IsEmpty()) {
        Name->Release();
        return;
    }
    Name->Append(digits);
    digits.Release();
}

NTSTATUS CreateNamedDevice(PDRIVER_OBJECT DriverObject, ULONG ExtensionSize,
                           const CountedString& DeviceName, const CountedString& LinkName,
                           DEVICE_TYPE DeviceType, ULONG Characteristics, BOOLEAN Exclusive,
                           PDEVICE_OBJECT* Device)
{
    *Device = nullptr;
    if (DeviceName.IsEmpty() || LinkName.IsEmpty()) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    UNICODE_STRING deviceName = DeviceName.AsUnicodeString();
    UNICODE_STRING linkName = LinkName.AsUnicodeString();

    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(DriverObject, ExtensionSize, &deviceName, DeviceType,
                                     Characteristics, Exclusive, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = IoCreateSymbolicLink(&linkName, &deviceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    *Device = device;
    return STATUS_SUCCESS;
}

void DeleteNamedDevice(PDEVICE_OBJECT Device, const CountedString& LinkName)
{
    DeleteLinkByName(LinkName);
    IoDeleteDevice(Device);
}

bool KeepName(CountedString* Field, const CountedString& Name)
{
    CountedString copy = Field->Assign(Name);
    copy.Release();
    return !Field->IsEmpty();
}

bool KeepNames(CountedString* DeviceField, CountedString* LinkField,
               const CountedString& DeviceName, const CountedString& LinkName)
{
    if (KeepName(DeviceField, DeviceName) && KeepName(LinkField, LinkName)) {
        return true;
    }
    DeviceField->Release();
    LinkField->Release();
    return false;
}
