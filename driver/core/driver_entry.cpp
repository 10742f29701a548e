// Driver entry, unload and request dispatch of ZelVCOM, a legacy NT driver.
// The entry creates the control device, installs the routers, loads the
// module table from the registry and starts every configured module; the
// unload tears down and deletes every device the driver still has. The seven
// routers are the driver object's entry points for create, close, read,
// write, flush, device control and cleanup: each passes the request to the
// handler the target device's dispatch table holds for it.
#include "core/nt.h"

#include "config/module_table.h"
#include "config/registry_config.h"
#include "core/control_device.h"
#include "core/counted_string.h"
#include "core/devices.h"
#include "core/dispatch_table.h"
#include "net/connection.h"

DISPATCH_TABLE* DispatchTableOf(PDEVICE_OBJECT DeviceObject)
{
    // Every extension of this driver begins with its table.
    return static_cast<DISPATCH_TABLE*>(DeviceObject->DeviceExtension);
}

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS NTAPI CompleteSuccess(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

namespace {

// Module create and close handlers bring the control connection up and down
// for the port that calls them and leave the completion to that port. When an
// application opens a module device itself, the router completes for them.
bool HandlerLeavesRequestOpen(PDRIVER_DISPATCH Handler)
{
    return Handler == ModuleCreate || Handler == ModuleClose;
}

PDRIVER_DISPATCH HandlerFor(PDEVICE_OBJECT DeviceObject, UCHAR MajorFunction)
{
    DISPATCH_TABLE* table = DispatchTableOf(DeviceObject);
    return table == nullptr ? nullptr : table->MajorFunction[MajorFunction];
}

// A routed request whose entry is empty succeeds with 0 bytes.
NTSTATUS CompleteEmptyEntry(PIRP Irp)
{
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

// The I/O manager finishes cleanup requests itself: only the status is set.
NTSTATUS AcknowledgeEmptyCleanup(PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return STATUS_SUCCESS;
}

NTSTATUS Route(UCHAR MajorFunction, PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDRIVER_DISPATCH handler = HandlerFor(DeviceObject, MajorFunction);
    if (handler == nullptr) {
        return MajorFunction == IRP_MJ_CLEANUP ? AcknowledgeEmptyCleanup(Irp)
                                               : CompleteEmptyEntry(Irp);
    }
    if (HandlerLeavesRequestOpen(handler)) {
        NTSTATUS status = CallModuleHandlerLocked(MajorFunction, handler, DeviceObject, Irp);
        return CompleteRequest(Irp, status, 0);
    }
    return handler(DeviceObject, Irp);
}

// One router per routed major function; all others keep the platform's
// default entry, which fails with STATUS_INVALID_DEVICE_REQUEST.
template <UCHAR MajorFunction>
NTSTATUS NTAPI Router(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return Route(MajorFunction, DeviceObject, Irp);
}

}  // namespace

void InstallRouters(PDRIVER_OBJECT DriverObject)
{
    DriverObject->MajorFunction[IRP_MJ_CREATE] = Router<IRP_MJ_CREATE>;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = Router<IRP_MJ_CLOSE>;
    DriverObject->MajorFunction[IRP_MJ_READ] = Router<IRP_MJ_READ>;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = Router<IRP_MJ_WRITE>;
    DriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = Router<IRP_MJ_FLUSH_BUFFERS>;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Router<IRP_MJ_DEVICE_CONTROL>;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = Router<IRP_MJ_CLEANUP>;
}

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
