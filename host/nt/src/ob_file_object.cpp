#include "ob_file_object.h"

#include "device_table.h"
#include "io_file_request.h"
#include "kernel_impl.h"
#include "ob_handle_table.h"
#include "rtl_unicode.h"
#include "thread_state.h"
#include "verifier.h"
#include "worker.h"

namespace host {

void InitializeFileObject(FILE_OBJECT& object, PDEVICE_OBJECT device, std::u16string& fileName)
{
    object.Type = IO_TYPE_FILE;
    object.Size = sizeof(FILE_OBJECT);
    object.DeviceObject = device;
    object.FileName.Buffer = fileName.empty() ? nullptr : reinterpret_cast<PWSTR>(fileName.data());
    object.FileName.Length = static_cast<USHORT>(fileName.size() * sizeof(WCHAR));
    object.FileName.MaximumLength = object.FileName.Length;
    KeInitializeEvent(&object.Lock, SynchronizationEvent, FALSE);
    KeInitializeEvent(&object.Event, NotificationEvent, FALSE);
    InitializeListHead(&object.IrpList);
}

KernelFile::KernelFile(PDEVICE_OBJECT device, const std::string& openedName,
                       const std::string& remainder)
    : openedName_(openedName), fileName_(rtl::Utf8ToUtf16(remainder).value_or(std::u16string()))
{
    InitializeFileObject(object_, device, fileName_);
}

// The end of a file object: cleanup, close and the worker's deferred close.
namespace {

void CloseFile(KernelFile* file)
{
    FileRequest close;
    close.MajorFunction = IRP_MJ_CLOSE;
    SendFileRequest(file->Object(), close);
    Kernel::Impl& kernel = Internals();
    kernel.Devices().DereferenceFileObject(file->Device());
    kernel.Objects().Erase(file);
}

}  // namespace

void CleanupFile(KernelFile* file)
{
    FileRequest cleanup;
    cleanup.MajorFunction = IRP_MJ_CLEANUP;
    SendFileRequest(file->Object(), cleanup);
}

LONG_PTR DropFileReference(PVOID object, const char* routine)
{
    Kernel::Impl& kernel = Internals();
    KernelFile* file = nullptr;
    const LONG_PTR left = kernel.Objects().DropReference(object, routine, &file);
    if (file == nullptr) {
        return left;
    }
    if (thread_state::Irql() == PASSIVE_LEVEL) {
        CloseFile(file);
    } else {
        kernel.SystemWorker().Queue([file] { CloseFile(file); });
    }
    return left;
}

}  // namespace host

// Object references on kernel handles' file objects: the file object type,
// referencing by handle, and the reference counts behind them.

// The object manager's type object for files. Exported by the kernel, so a
// global of its own; nothing in it changes.
struct _OBJECT_TYPE {
    const char* Name;
};

namespace {

_OBJECT_TYPE fileObjectType{"File"};
POBJECT_TYPE fileObjectTypePointer = &fileObjectType;

}  // namespace

extern "C" {

POBJECT_TYPE* IoFileObjectType = &fileObjectTypePointer;

NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                         POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                         PVOID* Object,
                                         POBJECT_HANDLE_INFORMATION HandleInformation)
{
    UNREFERENCED_PARAMETER(DesiredAccess);
    UNREFERENCED_PARAMETER(AccessMode);
    host::verifier::RequireIrqlAtMost(PASSIVE_LEVEL, "ObReferenceObjectByHandle");
    *Object = nullptr;
    // Every kernel handle of the host is a file's.
    if (ObjectType != nullptr && ObjectType != *IoFileObjectType) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    PFILE_OBJECT file = nullptr;
    const NTSTATUS status = host::Internals().Objects().Reference(Handle, &file, HandleInformation);
    if (NT_SUCCESS(status)) {
        *Object = file;
    }
    return status;
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object)
{
    host::verifier::RequireIrqlAtMost(DISPATCH_LEVEL, "ObfDereferenceObject");
    return host::DropFileReference(Object, "ObfDereferenceObject");
}

}  // extern "C"
