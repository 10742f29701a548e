// Device objects: creation with the extension right after the object, the
// driver's device list (newest first), and deletion. A deleted device whose
// object is still referenced (by file objects, or by the kernel while it
// dispatches to it or runs its work item) is freed when the last reference
// goes.
#pragma once

#include <host/common/non_copyable.h>
#include <wdm.h>

#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace host {

class ObjectNamespace;

class DeviceTable : zel::NonCopyable {
public:
    explicit DeviceTable(ObjectNamespace& names);
    ~DeviceTable();

    NTSTATUS Create(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING name,
                    DEVICE_TYPE type, ULONG characteristics, BOOLEAN exclusive,
                    PDEVICE_OBJECT* device);
    void Delete(PDEVICE_OBJECT device);

    // Resolves a name for an open and counts the new file object in the
    // device's ReferenceCount; refuses a device still initializing and a
    // second open of an exclusive device.
    NTSTATUS ReferenceForOpen(const std::string& name, PDEVICE_OBJECT* device,
                              std::string* remainder);
    void DereferenceFileObject(PDEVICE_OBJECT device);

    void AddKernelReference(PDEVICE_OBJECT device);
    void ReleaseKernelReference(PDEVICE_OBJECT device);

    std::string NameOf(PDEVICE_OBJECT device) const;

private:
    struct Record {
        std::string Name;
        std::size_t Bytes = 0;
        bool Deleted = false;
        int KernelReferences = 0;
    };

    Record& RequireRecord(PDEVICE_OBJECT device, const char* routine);
    void FreeIfUnreferenced(PDEVICE_OBJECT device);
    static void UnlinkFromDriver(PDEVICE_OBJECT device);

    ObjectNamespace& names_;
    mutable std::mutex mutex_;
    std::unordered_map<PDEVICE_OBJECT, Record> records_;
};

}  // namespace host
