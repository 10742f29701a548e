#include "core/module_lock.h"

#include "core/module_extension.h"

void InitializeModuleLock(ModuleExtension* Module)
{
    // A synchronization event that starts signalled works as a mutex that
    // may be held across waits.
    KeInitializeEvent(&Module->OpenCloseLock, SynchronizationEvent, TRUE);
}

void AcquireModuleLock(ModuleExtension* Module)
{
    KeWaitForSingleObject(&Module->OpenCloseLock, Executive, KernelMode, FALSE, nullptr);
}

void ReleaseModuleLock(ModuleExtension* Module)
{
    KeSetEvent(&Module->OpenCloseLock, IO_NO_INCREMENT, FALSE);
}

NTSTATUS CallModuleHandlerLocked(UCHAR MajorFunction, PDRIVER_DISPATCH Handler,
                                 PDEVICE_OBJECT ModuleDevice, PIRP Irp)
{
    ModuleExtension* module = ModuleExtensionOf(ModuleDevice);
    AcquireModuleLock(module);
    NTSTATUS status = Handler(ModuleDevice, Irp);
    PDRIVER_DISPATCH close = module->DispatchTable.MajorFunction[IRP_MJ_CLOSE];
    if (MajorFunction == IRP_MJ_CREATE && !NT_SUCCESS(status) && close != nullptr) {
        close(ModuleDevice, Irp);
    }
    ReleaseModuleLock(module);
    return status;
}
