#include "net/ea_buffer.h"

NTSTATUS BuildEaBuffer(UCHAR NameLength, PCSTR Name, USHORT ValueLength, const VOID* Value,
                       PFILE_FULL_EA_INFORMATION* Buffer, ULONG* BufferLength)
{
    // The header, the name with its NUL, then the value.
    ULONG length = FIELD_OFFSET(FILE_FULL_EA_INFORMATION, EaName) + NameLength + 1 + ValueLength;
    auto* ea = static_cast<PFILE_FULL_EA_INFORMATION>(ExAllocatePool(PagedPool, length));
    *Buffer = ea;
    *BufferLength = 0;
    if (ea == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ea->NextEntryOffset = 0;
    ea->Flags = 0;
    ea->EaNameLength = NameLength;
    ea->EaValueLength = ValueLength;
    RtlCopyMemory(ea->EaName, Name, NameLength);
    ea->EaName[NameLength] = '\0';
    if (Value != nullptr) {
        RtlCopyMemory(ea->EaName + NameLength + 1, Value, ValueLength);
    }
    *BufferLength = length;
    return STATUS_SUCCESS;
}
