// Object references on kernel handles' file objects: the file object type,
// referencing by handle, and the reference counts behind them.
#include "kernel_impl.h"
#include "ob_file_close.h"
#include "ob_handle_table.h"
#include "verifier.h"

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
