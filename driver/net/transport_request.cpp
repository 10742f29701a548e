#include "net/transport_request.h"

PIO_STACK_LOCATION PrepareTransportRequest(PIRP Irp, UCHAR MinorFunction, PFILE_OBJECT FileObject)
{
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(Irp);
    stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    stack->MinorFunction = MinorFunction;
    stack->DeviceObject = IoGetRelatedDeviceObject(FileObject);
    stack->FileObject = FileObject;
    return stack;
}

void SetTransportCompletion(PIRP Irp, PIO_COMPLETION_ROUTINE Routine, PVOID Context)
{
    IoSetCompletionRoutine(Irp, Routine, Context, TRUE, TRUE, TRUE);
}

NTSTATUS NTAPI SignalCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    if (Context != nullptr) {
        KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS CallTransportAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    KEVENT completed;
    KeInitializeEvent(&completed, NotificationEvent, FALSE);
    SetTransportCompletion(Irp, SignalCompletion, &completed);
    NTSTATUS status = IofCallDriver(DeviceObject, Irp);
    if (status != STATUS_PENDING && status != STATUS_SUCCESS) {
        return status;
    }
    KeWaitForSingleObject(&completed, Executive, KernelMode, FALSE, nullptr);
    return Irp->IoStatus.Status;
}

void FreeTransportIrp(PIRP Irp)
{
    Irp->MdlAddress = nullptr;
    IoFreeIrp(Irp);
}
