// Device objects and symbolic links.
#include "device_table.h"
#include "kernel_impl.h"
#include "low_resources.h"
#include "object_namespace.h"
#include "rtl_unicode.h"
#include "verifier.h"

#include <optional>

namespace {

std::optional<std::string> Utf8(PCUNICODE_STRING name)
{
    if (name == nullptr || (name->Length != 0 && name->Buffer == nullptr)) {
        return std::nullopt;
    }
    return host::rtl::Utf16ToUtf8(host::rtl::ToU16(name->Buffer, name->Length / sizeof(WCHAR)));
}

}  // namespace

extern "C" {

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject)
{
    host::verifier::RequireIrqlAtMost(PASSIVE_LEVEL, "IoCreateDevice");
    if (host::SimulateLowResources("IoCreateDevice")) {
        *DeviceObject = nullptr;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return host::Internals().Devices().Create(DriverObject, DeviceExtensionSize, DeviceName,
                                              DeviceType, DeviceCharacteristics, Exclusive,
                                              DeviceObject);
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    host::verifier::RequireIrqlAtMost(PASSIVE_LEVEL, "IoDeleteDevice");
    host::Internals().Devices().Delete(DeviceObject);
}

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    host::verifier::RequireIrqlAtMost(PASSIVE_LEVEL, "IoCreateSymbolicLink");
    if (host::SimulateLowResources("IoCreateSymbolicLink")) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto link = Utf8(SymbolicLinkName);
    auto target = Utf8(DeviceName);
    if (!link || !target) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    return host::Internals().Names().InsertLink(*link, *target);
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    host::verifier::RequireIrqlAtMost(PASSIVE_LEVEL, "IoDeleteSymbolicLink");
    auto link = Utf8(SymbolicLinkName);
    if (!link) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    return host::Internals().Names().RemoveLink(*link);
}

PDEVICE_OBJECT NTAPI IoGetRelatedDeviceObject(PFILE_OBJECT FileObject)
{
    PDEVICE_OBJECT device = FileObject->DeviceObject;
    while (device->AttachedDevice != nullptr) {
        device = device->AttachedDevice;
    }
    return device;
}

}  // extern "C"
