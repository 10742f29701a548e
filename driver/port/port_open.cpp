#include "port/port_open.h"

#include "core/dispatch_table.h"
#include "core/module_extension.h"
#include "core/module_lock.h"
#include "net/connection.h"
#include "port/port_extension.h"
#include "port/port_receive.h"
#include "port/receive_buffer.h"
#include "port/serial_wait.h"

namespace {

// The module's create or close handler, or null when there is no module
// device or no such entry.
PDRIVER_DISPATCH ModuleEntry(PDEVICE_OBJECT ModuleDevice, UCHAR MajorFunction)
{
    if (ModuleDevice == nullptr) {
        return nullptr;
    }
    DISPATCH_TABLE* table = DispatchTableOf(ModuleDevice);
    return table == nullptr ? nullptr : table->MajorFunction[MajorFunction];
}

void ResetRxCount(PortExtension* Port)
{
    KIRQL irql;
    KeAcquireSpinLock(&Port->PortLock, &irql);
    SetRxCount(Port, 0);
    KeReleaseSpinLock(&Port->PortLock, irql);
}

void DropReceived(PortExtension* Port)
{
    KIRQL irql;
    KeAcquireSpinLock(&Port->PortLock, &irql);
    DiscardReceived(Port);
    KeReleaseSpinLock(&Port->PortLock, irql);
}

void TakeDataConnectionDown(PortExtension* Port)
{
    Disconnect(&Port->DataConnection);
    CloseConnection(&Port->DataConnection);
}

// The module's control connection, then the channel's data connection.
NTSTATUS BringConnectionsUp(PortExtension* Port, PDEVICE_OBJECT ModuleDevice, PIRP Irp)
{
    NTSTATUS status = ModuleEntry(ModuleDevice, IRP_MJ_CREATE)(ModuleDevice, Irp);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ConnectionRecord* data = &Port->DataConnection;
    if (!data->Opened) {
        status = OpenConnection(data);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return Connect(data);
}

void CountOpen(PortExtension* Port, ModuleExtension* Module)
{
    Module->ChannelOpen[Port->ChannelIndex] = 1;
    Port->IsOpen = 1;
    ++Module->OpenPortCount;
}

void CountClosed(PortExtension* Port, ModuleExtension* Module)
{
    --Module->OpenPortCount;
    Module->ChannelOpen[Port->ChannelIndex] = 0;
}

// A failed attempt closes what it opened, the module's control connection
// included when no other port of the module holds it.
void UndoOpen(PortExtension* Port, PDEVICE_OBJECT ModuleDevice, PIRP Irp)
{
    TakeDataConnectionDown(Port);
    PDRIVER_DISPATCH moduleClose = ModuleEntry(ModuleDevice, IRP_MJ_CLOSE);
    if (moduleClose != nullptr) {
        moduleClose(ModuleDevice, Irp);
    }
}

// With the module's lock held.
NTSTATUS OpenWithModule(PortExtension* Port, PDEVICE_OBJECT ModuleDevice, PIRP Irp)
{
    NTSTATUS status = BringConnectionsUp(Port, ModuleDevice, Irp);
    if (!NT_SUCCESS(status)) {
        UndoOpen(Port, ModuleDevice, Irp);
        return STATUS_UNSUCCESSFUL;
    }
    // Counted open before the first receive goes out: its completion ends
    // the cycle on a port that is not open.
    CountOpen(Port, ModuleExtensionOf(ModuleDevice));
    RestartReceive(Port);
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS NTAPI PortCreate(PDEVICE_OBJECT PortDevice, PIRP Irp)
{
    PortExtension* port = PortExtensionOf(PortDevice);
    ResetRxCount(port);
    if (port->IsOpen) {
        return CompleteRequest(Irp, STATUS_SUCCESS, 0);
    }
    PDEVICE_OBJECT moduleDevice = port->ModuleDevice;
    if (ModuleEntry(moduleDevice, IRP_MJ_CREATE) == nullptr) {
        UndoOpen(port, moduleDevice, Irp);
        return CompleteRequest(Irp, STATUS_UNSUCCESSFUL, 0);
    }
    ModuleExtension* module = ModuleExtensionOf(moduleDevice);
    AcquireModuleLock(module);
    NTSTATUS status = OpenWithModule(port, moduleDevice, Irp);
    ReleaseModuleLock(module);
    return CompleteRequest(Irp, status, 0);
}

NTSTATUS NTAPI PortClose(PDEVICE_OBJECT PortDevice, PIRP Irp)
{
    PortExtension* port = PortExtensionOf(PortDevice);
    PDEVICE_OBJECT moduleDevice = port->ModuleDevice;
    ModuleExtension* module = moduleDevice == nullptr ? nullptr : ModuleExtensionOf(moduleDevice);
    if (module != nullptr) {
        AcquireModuleLock(module);
    }
    TakeDataConnectionDown(port);
    port->IsOpen = 0;
    DropReceived(port);
    if (module != nullptr) {
        // Uncounted first, so the module's last port takes the control
        // connection down.
        CountClosed(port, module);
        PDRIVER_DISPATCH moduleClose = ModuleEntry(moduleDevice, IRP_MJ_CLOSE);
        if (moduleClose != nullptr) {
            moduleClose(moduleDevice, Irp);
        }
        ReleaseModuleLock(module);
    }
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI PortCleanup(PDEVICE_OBJECT PortDevice, PIRP Irp)
{
    CancelPendingWait(PortExtensionOf(PortDevice));
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}
