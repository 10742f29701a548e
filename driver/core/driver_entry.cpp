// Driver entry and unload of ZelVCOM, a legacy NT driver: the entry creates
// the control device, installs the routers, loads the module table from the
// registry and starts every configured module; the unload tears down and
// deletes every device the driver still has.
#include "core/nt.h"

#include "config/module_table.h"
#include "config/registry_config.h"
#include "core/control_device.h"
#include "core/counted_string.h"
#include "core/dispatch_table.h"
#include "core/module_device.h"
#include "core/router.h"

namespace {

void NTAPI DriverUnload(PDRIVER_OBJECT DriverObject)
{
    // The platform keeps the list newest first: ports come before their
    // module, and the control device comes last.
    PDEVICE_OBJECT device = DriverObject->DeviceObject;
    while (device != nullptr) {
        DISPATCH_TABLE* table = DispatchTableOf(device);
        if (table != nullptr && table->Teardown != nullptr) {
            table->Teardown(device);
        }
        PDEVICE_OBJECT next = device->NextDevice;
        IoDeleteDevice(device);
        device = next;
    }
}

// Runs the saved configuration: failures of the load and of device creation
// leave fewer modules, never a failed start.
void StartConfiguredModules(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT ControlDevice)
{
    ControlExtension* control = ControlExtensionOf(ControlDevice);
    ResetModuleTable(control);
    LoadModuleConfig(control);
    for (ULONG i = 0; i < control->ModuleCount; ++i) {
        CreateModuleDevice(DriverObject, ControlDevice, i);
    }
}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    // The configuration is found under the service key by the driver's own name.
    UNREFERENCED_PARAMETER(RegistryPath);

    CountedString deviceName;
    CountedString linkName;
    deviceName.InitFromLiteral(L"\\Device\\ZelMinVirtCOM");
    linkName.InitFromLiteral(L"\\DosDevices\\ZelMain");

    InstallRouters(DriverObject);

    PDEVICE_OBJECT controlDevice = nullptr;
    NTSTATUS status = CreateControlDevice(DriverObject, deviceName, linkName, &controlDevice);
    if (NT_SUCCESS(status)) {
        StartConfiguredModules(DriverObject, controlDevice);
        status = STATUS_SUCCESS;
    }

    deviceName.Release();
    linkName.Release();
    DriverObject->DriverUnload = DriverUnload;
    return status;
}
