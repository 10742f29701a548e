#include "core/name_teardown.h"

NTSTATUS DeleteLinkByName(const CountedString& LinkName)
{
    if (LinkName.IsEmpty()) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    UNICODE_STRING link = LinkName.AsUnicodeString();
    return IoDeleteSymbolicLink(&link);
}

NTSTATUS NameTeardown(PDEVICE_OBJECT DeviceObject)
{
    auto* header = static_cast<NAMED_DEVICE_HEADER*>(DeviceObject->DeviceExtension);
    DeleteLinkByName(header->LinkName);
    header->LinkName.Release();
    header->DeviceName.Release();
    return STATUS_SUCCESS;
}
