#include "core/router.h"

#include "core/dispatch_table.h"
#include "core/module_lock.h"
#include "net/module_connection.h"

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
