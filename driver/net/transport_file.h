// Handles and file objects on the transport device: address objects,
// connection endpoints and control channels are all files opened on it.
#pragma once

#include "core/nt.h"

// ZwCreateFile on the named device with the given access and EA buffer
// (none for a control channel). The handle is a kernel handle: it is closed
// from whatever thread drops the object's last reference.
NTSTATUS CreateTransportHandle(PCWSTR DeviceName, ACCESS_MASK DesiredAccess,
                               PFILE_FULL_EA_INFORMATION EaBuffer, ULONG EaLength,
                               PHANDLE Handle);

// References the handle's file object. On failure the handle is closed and
// cleared, so the open leaves nothing behind.
NTSTATUS ReferenceTransportFile(PHANDLE Handle, PFILE_OBJECT* FileObject);

// Dereferences the file object and closes the handle, where present, and
// clears both.
void CloseTransportFile(PHANDLE Handle, PFILE_OBJECT* FileObject);
