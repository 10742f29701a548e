#include "net/module_connection.h"

#include "core/module_device.h"
#include "core/module_extension.h"
#include "net/connection.h"
#include "net/control_receive.h"

NTSTATUS NTAPI ModuleCreate(PDEVICE_OBJECT ModuleDevice, PIRP Irp)
{
    UNREFERENCED_PARAMETER(Irp);
    ModuleExtension* module = ModuleExtensionOf(ModuleDevice);
    if (module->OpenPortCount != 0) {
        return STATUS_SUCCESS;
    }
    ConnectionRecord* control = &module->ControlConnection;
    if (!control->Opened) {
        NTSTATUS status = OpenConnection(control);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    NTSTATUS status = Connect(control);
    if (NT_SUCCESS(status)) {
        ForgetPartialReport(&module->Reports);  // a new connection, a new stream
        PostReceive(control, ControlReceiveComplete, module);
    }
    return status;
}

NTSTATUS NTAPI ModuleClose(PDEVICE_OBJECT ModuleDevice, PIRP Irp)
{
    UNREFERENCED_PARAMETER(Irp);
    ModuleExtension* module = ModuleExtensionOf(ModuleDevice);
    if (module->OpenPortCount != 0 || AnyPortOpen(module)) {
        return STATUS_SUCCESS;
    }
    Disconnect(&module->ControlConnection);
    CloseConnection(&module->ControlConnection);
    return STATUS_SUCCESS;
}
