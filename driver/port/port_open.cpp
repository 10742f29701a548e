#include "port/port_open.h"

#include "core/devices.h"
#include "core/dispatch_table.h"
#include "core/module_extension.h"
#include "net/connection.h"
#include "port/port_extension.h"
#include "port/port_read.h"
#include "port/port_reconnect.h"
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
    AllowReconnect(Port);
    RestartReceive(Port);
    return STATUS_SUCCESS;
}

NTSTATUS OpenPort(PortExtension* Port, PIRP Irp)
{
    ResetRxCount(Port);
    if (Port->IsOpen) {
        return STATUS_SUCCESS;
    }
    PDEVICE_OBJECT moduleDevice = Port->ModuleDevice;
    if (ModuleEntry(moduleDevice, IRP_MJ_CREATE) == nullptr) {
        UndoOpen(Port, moduleDevice, Irp);
        return STATUS_UNSUCCESSFUL;
    }
    ModuleExtension* module = ModuleExtensionOf(moduleDevice);
    AcquireModuleLock(module);
    NTSTATUS status = OpenWithModule(Port, moduleDevice, Irp);
    ReleaseModuleLock(module);
    return status;
}

void ClosePort(PortExtension* Port, PIRP Irp)
{
    // Before the module's lock: an attempt under way replays the line
    // settings, which takes it.
    StopReconnecting(Port);
    PDEVICE_OBJECT moduleDevice = Port->ModuleDevice;
    ModuleExtension* module = moduleDevice == nullptr ? nullptr : ModuleExtensionOf(moduleDevice);
    if (module != nullptr) {
        AcquireModuleLock(module);
    }
    TakeDataConnectionDown(Port);
    Port->IsOpen = 0;
    DropReceived(Port);
    if (module != nullptr) {
        // Uncounted first, so the module's last port takes the control
        // connection down.
        CountClosed(Port, module);
        PDRIVER_DISPATCH moduleClose = ModuleEntry(moduleDevice, IRP_MJ_CLOSE);
        if (moduleClose != nullptr) {
            moduleClose(moduleDevice, Irp);
        }
        ReleaseModuleLock(module);
    }
}

// True unless a stop has marked the port: then the caller must not touch
// the module, which may be gone.
bool EnterOpenOrClose(PortExtension* Port)
{
    InterlockedIncrement(&Port->OpensAndCloses);
    return InterlockedCompareExchange(&Port->Stopping, 0, 0) == 0;
}

// The last touch of the module: a stop may delete it from here on.
void LeaveOpenOrClose(PortExtension* Port)
{
    InterlockedDecrement(&Port->OpensAndCloses);
}

}  // namespace

bool MarkPortStopping(PortExtension* Port)
{
    InterlockedExchange(&Port->Stopping, 1);
    // IsOpen before the count: a close is counted before it clears IsOpen.
    const bool open = *static_cast<volatile ULONG*>(&Port->IsOpen) != 0;
    if (open || InterlockedCompareExchange(&Port->OpensAndCloses, 0, 0) != 0) {
        UnmarkPortStopping(Port);
        return false;
    }
    return true;
}

void UnmarkPortStopping(PortExtension* Port)
{
    InterlockedExchange(&Port->Stopping, 0);
}

NTSTATUS NTAPI PortCreate(PDEVICE_OBJECT PortDevice, PIRP Irp)
{
    PortExtension* port = PortExtensionOf(PortDevice);
    // A port being removed refuses: its module may be gone already.
    NTSTATUS status = EnterOpenOrClose(port) ? OpenPort(port, Irp) : STATUS_UNSUCCESSFUL;
    LeaveOpenOrClose(port);
    return CompleteRequest(Irp, status, 0);
}

NTSTATUS NTAPI PortClose(PDEVICE_OBJECT PortDevice, PIRP Irp)
{
    PortExtension* port = PortExtensionOf(PortDevice);
    // Only an open port is closed, and a stop refuses an open port: no
    // stop can be under way.
    EnterOpenOrClose(port);
    ClosePort(port, Irp);
    LeaveOpenOrClose(port);
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI PortCleanup(PDEVICE_OBJECT PortDevice, PIRP Irp)
{
    CancelPendingWait(PortExtensionOf(PortDevice));
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}
