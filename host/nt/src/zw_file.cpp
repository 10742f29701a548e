// ZwCreateFile and ZwClose for kernel-mode callers: an open builds a file
// object, sends IRP_MJ_CREATE (with the EA list in the system buffer) and
// returns a kernel handle; a close ends the handle.
#include "device_table.h"
#include "io_ea_list.h"
#include "io_file_request.h"
#include "kernel_impl.h"
#include "low_resources.h"
#include "ob_file_object.h"
#include "ob_handle_table.h"
#include "rtl_unicode.h"
#include "verifier.h"

#include <optional>

namespace {

constexpr int kCreateDispositionShift = 24;
constexpr ULONG kCreateOptionsMask = 0x00FFFFFF;

std::optional<std::string> ObjectName(const OBJECT_ATTRIBUTES* attributes)
{
    const UNICODE_STRING* name = attributes->ObjectName;
    if (name == nullptr || (name->Length != 0 && name->Buffer == nullptr)) {
        return std::nullopt;
    }
    return host::rtl::Utf16ToUtf8(host::rtl::ToU16(name->Buffer, name->Length / sizeof(WCHAR)));
}

NTSTATUS Fail(PIO_STATUS_BLOCK ioStatus, NTSTATUS status, ULONG_PTR information = 0)
{
    ioStatus->Status = status;
    ioStatus->Information = information;
    return status;
}

host::FileRequest CreateRequest(ULONG fileAttributes, ULONG shareAccess, ULONG disposition,
                                ULONG createOptions, const void* ea, ULONG eaLength)
{
    host::FileRequest create;
    create.MajorFunction = IRP_MJ_CREATE;
    create.Options =
        (disposition << kCreateDispositionShift) | (createOptions & kCreateOptionsMask);
    create.FileAttributes = static_cast<USHORT>(fileAttributes);
    create.ShareAccess = static_cast<USHORT>(shareAccess);
    if (ea != nullptr) {
        const auto* bytes = static_cast<const std::uint8_t*>(ea);
        create.Ea.assign(bytes, bytes + eaLength);
    }
    return create;
}

// Sends the create for a new file object; on success the object gets its
// first handle.
NTSTATUS Open(const std::string& name, host::FileRequest& create, ACCESS_MASK access,
              ULONG attributes, PHANDLE handle, PIO_STATUS_BLOCK ioStatus)
{
    host::Kernel::Impl& kernel = host::Internals();
    PDEVICE_OBJECT device = nullptr;
    std::string remainder;
    const NTSTATUS referenced = kernel.Devices().ReferenceForOpen(name, &device, &remainder);
    if (!NT_SUCCESS(referenced)) {
        return Fail(ioStatus, referenced);
    }
    auto file = std::make_unique<host::KernelFile>(device, name, remainder);
    const IO_STATUS_BLOCK result = host::SendFileRequest(file->Object(), create);
    *ioStatus = result;
    if (!NT_SUCCESS(result.Status)) {
        // A failed create leaves no file object behind: no cleanup, no close.
        kernel.Devices().DereferenceFileObject(device);
        return result.Status;
    }
    file->Object()->Flags |= FO_HANDLE_CREATED;
    *handle = kernel.Objects().Insert(std::move(file), access, attributes);
    return result.Status;
}

}  // namespace

extern "C" {

NTSTATUS NTAPI ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                            POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                            PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                            ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                            ULONG EaLength)
{
    UNREFERENCED_PARAMETER(AllocationSize);
    host::verifier::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwCreateFile");
    *FileHandle = nullptr;
    if (host::SimulateLowResources("ZwCreateFile")) {
        return Fail(IoStatusBlock, STATUS_INSUFFICIENT_RESOURCES);
    }
    if (ObjectAttributes == nullptr || ObjectAttributes->RootDirectory != nullptr) {
        return Fail(IoStatusBlock, STATUS_INVALID_PARAMETER);
    }
    const std::optional<std::string> name = ObjectName(ObjectAttributes);
    if (!name) {
        return Fail(IoStatusBlock, STATUS_OBJECT_NAME_INVALID);
    }
    ULONG errorOffset = 0;
    if (EaBuffer != nullptr && EaLength != 0) {
        const NTSTATUS checked = host::ea::CheckList(EaBuffer, EaLength, &errorOffset);
        if (!NT_SUCCESS(checked)) {
            return Fail(IoStatusBlock, checked, errorOffset);
        }
    }
    host::FileRequest create =
        CreateRequest(FileAttributes, ShareAccess, CreateDisposition, CreateOptions,
                      EaLength != 0 ? EaBuffer : nullptr, EaLength);
    return Open(*name, create, DesiredAccess, ObjectAttributes->Attributes, FileHandle,
                IoStatusBlock);
}

NTSTATUS NTAPI ZwClose(HANDLE Handle)
{
    host::verifier::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwClose");
    bool lastHandle = false;
    host::KernelFile* file = host::Internals().Objects().CloseHandle(Handle, &lastHandle);
    if (lastHandle) {
        host::CleanupFile(file);
    }
    // The handle's own reference goes after its cleanup.
    host::DropFileReference(file->Object(), "ZwClose");
    return STATUS_SUCCESS;
}

}  // extern "C"
