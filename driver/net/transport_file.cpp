#include "net/transport_file.h"

#include "core/counted_string.h"

NTSTATUS CreateTransportHandle(PCWSTR DeviceName, ACCESS_MASK DesiredAccess,
                               PFILE_FULL_EA_INFORMATION EaBuffer, ULONG EaLength,
                               PHANDLE Handle)
{
    CountedString name;
    name.InitFromLiteral(DeviceName);
    UNICODE_STRING deviceName = name.AsUnicodeString();
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &deviceName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    IO_STATUS_BLOCK ioStatus;
    *Handle = nullptr;
    NTSTATUS status = ZwCreateFile(Handle, DesiredAccess, &attributes, &ioStatus, nullptr,
                                   FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, FILE_OPEN_IF, 0,
                                   EaBuffer, EaLength);
    if (!NT_SUCCESS(status)) {
        *Handle = nullptr;
    }
    name.Release();
    return status;
}

NTSTATUS ReferenceTransportFile(PHANDLE Handle, PFILE_OBJECT* FileObject)
{
    PVOID object = nullptr;
    NTSTATUS status = ObReferenceObjectByHandle(*Handle, 0, nullptr, KernelMode, &object, nullptr);
    if (!NT_SUCCESS(status)) {
        ZwClose(*Handle);
        *Handle = nullptr;
        object = nullptr;
    }
    *FileObject = static_cast<PFILE_OBJECT>(object);
    return status;
}

void CloseTransportFile(PHANDLE Handle, PFILE_OBJECT* FileObject)
{
    if (*FileObject != nullptr) {
        ObfDereferenceObject(*FileObject);
        *FileObject = nullptr;
    }
    if (*Handle != nullptr) {
        ZwClose(*Handle);
        *Handle = nullptr;
    }
}
