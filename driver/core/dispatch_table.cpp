#include "core/dispatch_table.h"

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
