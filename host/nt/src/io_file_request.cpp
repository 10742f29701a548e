#include "io_file_request.h"

#include "device_table.h"
#include "irp_table.h"
#include "kernel_impl.h"

namespace host {
namespace {

NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

ULONG IrpFlagsFor(UCHAR major)
{
    switch (major) {
    case IRP_MJ_CREATE:
        return IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API;
    case IRP_MJ_CLOSE:
        return IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API;
    default:
        return IRP_SYNCHRONOUS_API;
    }
}

void Fill(PIRP irp, PFILE_OBJECT file, FileRequest& request)
{
    irp->RequestorMode = KernelMode;
    irp->Flags = IrpFlagsFor(request.MajorFunction);
    irp->AssociatedIrp.SystemBuffer = request.Ea.empty() ? nullptr : request.Ea.data();
    irp->Tail.Overlay.OriginalFileObject = file;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = request.MajorFunction;
    stack->FileObject = file;
    if (request.MajorFunction == IRP_MJ_CREATE) {
        stack->Parameters.Create.Options = request.Options;
        stack->Parameters.Create.FileAttributes = request.FileAttributes;
        stack->Parameters.Create.ShareAccess = request.ShareAccess;
        stack->Parameters.Create.EaLength = static_cast<ULONG>(request.Ea.size());
    }
}

}  // namespace

IO_STATUS_BLOCK SendFileRequest(PFILE_OBJECT file, FileRequest& request)
{
    IO_STATUS_BLOCK result{};
    PDEVICE_OBJECT device = IoGetRelatedDeviceObject(file);
    // The I/O manager's own IRP: the low-resources simulation fails only
    // what the driver asks for.
    PIRP irp = Internals().Irps().Allocate(device->StackSize, nullptr);
    Fill(irp, file, request);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
    DeviceTable& devices = Internals().Devices();
    devices.AddKernelReference(device);
    IofCallDriver(device, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    result = irp->IoStatus;
    IoFreeIrp(irp);
    devices.ReleaseKernelReference(device);
    return result;
}

}  // namespace host
