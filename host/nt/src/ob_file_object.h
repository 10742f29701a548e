// File objects: one opened with ZwCreateFile (the FILE_OBJECT the driver
// sees and the name it was opened by; its handles and references are
// counted by the ObjectTable), its references, and its end.
#pragma once

#include <host/common/non_copyable.h>
#include <wdm.h>

#include <string>

namespace host {

// A fresh FILE_OBJECT on device whose FileName points into fileName (which
// must outlive it), with its events and IRP list initialised. Every file
// object of the host, kernel-opened or the caller's, starts this way.
void InitializeFileObject(FILE_OBJECT& object, PDEVICE_OBJECT device, std::u16string& fileName);

class KernelFile : zel::NonCopyable {
public:
    // `remainder` is the part of the name below the device ("" for none).
    KernelFile(PDEVICE_OBJECT device, const std::string& openedName, const std::string& remainder);

    PFILE_OBJECT Object() { return &object_; }
    PDEVICE_OBJECT Device() const { return object_.DeviceObject; }
    const std::string& OpenedName() const { return openedName_; }

private:
    FILE_OBJECT object_{};
    std::string openedName_;
    std::u16string fileName_;
};

// The end of a kernel handle's file object: the cleanup at its last handle's
// close, and at its last reference the close, the device's file-object
// count and the object itself. A last reference dropped above
// PASSIVE_LEVEL has its close run by the system worker, as on Windows.
void CleanupFile(KernelFile* file);
// The routine name goes into a stop message for a bad object.
LONG_PTR DropFileReference(PVOID object, const char* routine);

}  // namespace host
