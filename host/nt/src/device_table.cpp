#include "device_table.h"

#include "kernel_impl.h"
#include "object_namespace.h"
#include "rtl_unicode.h"
#include "timer_queue.h"
#include "verifier.h"
#include "verifier_rules.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace host {
namespace {

constexpr std::size_t kDeviceAlignment = alignof(DEVICE_OBJECT);
constexpr USHORT kDevObjExtensionType = 13;  // IO_TYPE_DEVICE_OBJECT_EXTENSION

std::size_t RoundUp(std::size_t bytes)
{
    return (bytes + kDeviceAlignment - 1) & ~(kDeviceAlignment - 1);
}

std::size_t AllocationSize(ULONG extensionSize)
{
    return sizeof(DEVICE_OBJECT) + RoundUp(extensionSize) + sizeof(DEVOBJ_EXTENSION);
}

PDEVICE_OBJECT AllocateDevice(ULONG extensionSize)
{
    void* memory = ::operator new(AllocationSize(extensionSize), std::align_val_t(kDeviceAlignment),
                                  std::nothrow);
    if (memory != nullptr) {
        std::memset(memory, 0, AllocationSize(extensionSize));
    }
    return static_cast<PDEVICE_OBJECT>(memory);
}

void FreeDevice(PDEVICE_OBJECT device)
{
    ::operator delete(device, std::align_val_t(kDeviceAlignment));
}

void InitializeDevice(PDEVICE_OBJECT device, PDRIVER_OBJECT driver, ULONG extensionSize,
                      DEVICE_TYPE type, ULONG characteristics, BOOLEAN exclusive)
{
    auto* bytes = reinterpret_cast<unsigned char*>(device);
    device->Type = IO_TYPE_DEVICE;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + extensionSize);
    device->DriverObject = driver;
    device->Flags = DO_DEVICE_INITIALIZING | (exclusive ? DO_EXCLUSIVE : 0);
    device->Characteristics = characteristics;
    device->DeviceExtension = extensionSize != 0 ? bytes + sizeof(DEVICE_OBJECT) : nullptr;
    device->DeviceType = type;
    device->StackSize = 1;
    device->AlignmentRequirement = FILE_BYTE_ALIGNMENT;
    InitializeListHead(&device->Queue.ListEntry);
    InitializeListHead(&device->DeviceQueue.DeviceListHead);
    KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
    auto* extension =
        reinterpret_cast<PDEVOBJ_EXTENSION>(bytes + sizeof(DEVICE_OBJECT) + RoundUp(extensionSize));
    extension->Type = kDevObjExtensionType;
    extension->Size = sizeof(DEVOBJ_EXTENSION);
    extension->DeviceObject = device;
    device->DeviceObjectExtension = extension;
}

using host::verifier::PointerText;

}  // namespace

DeviceTable::DeviceTable(ObjectNamespace& names) : names_(names) {}

DeviceTable::~DeviceTable()
{
    for (auto& [device, record] : records_) {
        FreeDevice(device);
    }
}

NTSTATUS DeviceTable::Create(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING name,
                             DEVICE_TYPE type, ULONG characteristics, BOOLEAN exclusive,
                             PDEVICE_OBJECT* device)
{
    std::string utf8Name;
    if (name != nullptr) {
        auto converted = rtl::Utf16ToUtf8(rtl::ToU16(name->Buffer, name->Length / sizeof(WCHAR)));
        if (!converted) {
            return STATUS_OBJECT_NAME_INVALID;
        }
        utf8Name = *converted;
    }
    PDEVICE_OBJECT created = AllocateDevice(extensionSize);
    if (created == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    InitializeDevice(created, driver, extensionSize, type, characteristics, exclusive);
    std::lock_guard<std::mutex> lock(mutex_);
    if (name != nullptr) {
        const NTSTATUS status = names_.InsertDevice(utf8Name, created);
        if (status != STATUS_SUCCESS) {
            FreeDevice(created);
            return status;
        }
        utf8Name = names_.CanonicalName(utf8Name);
    }
    records_.emplace(created, Record{utf8Name, AllocationSize(extensionSize), false, 0});
    created->NextDevice = driver->DeviceObject;
    driver->DeviceObject = created;
    *device = created;
    return STATUS_SUCCESS;
}

DeviceTable::Record& DeviceTable::RequireRecord(PDEVICE_OBJECT device, const char* routine)
{
    auto it = records_.find(device);
    if (it == records_.end() || it->second.Deleted) {
        verifier::BugCheck(rule::kVerifierViolation, std::string(routine) + " on " +
                                                         PointerText(device) +
                                                         ", which is not a live device object");
    }
    return it->second;
}

void DeviceTable::UnlinkFromDriver(PDEVICE_OBJECT device)
{
    for (PDEVICE_OBJECT* link = &device->DriverObject->DeviceObject; *link != nullptr;
         link = &(*link)->NextDevice) {
        if (*link == device) {
            *link = device->NextDevice;
            return;
        }
    }
    verifier::BugCheck(rule::kVerifierViolation, "device " + PointerText(device) +
                                                     " is missing from its driver's device list");
}

void DeviceTable::Delete(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Record& record = RequireRecord(device, "IoDeleteDevice");
    if (!record.Name.empty()) {
        names_.RemoveDevice(record.Name);
    }
    UnlinkFromDriver(device);
    record.Deleted = true;
    FreeIfUnreferenced(device);
}

void DeviceTable::FreeIfUnreferenced(PDEVICE_OBJECT device)
{
    auto it = records_.find(device);
    if (!it->second.Deleted || device->ReferenceCount != 0 || it->second.KernelReferences != 0) {
        return;
    }
    if (auto queued = Internals().Timers().FindQueuedWithin(device, it->second.Bytes)) {
        verifier::BugCheck(
            rule::kTimerOrDpcInvalid,
            "device object " + it->second.Name + " deleted while its extension holds a " + *queued);
    }
    records_.erase(it);
    FreeDevice(device);
}

NTSTATUS DeviceTable::ReferenceForOpen(const std::string& name, PDEVICE_OBJECT* device,
                                       std::string* remainder)
{
    std::lock_guard<std::mutex> lock(mutex_);
    PDEVICE_OBJECT found = nullptr;
    const NTSTATUS status = names_.Resolve(name, &found, remainder);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    if ((found->Flags & DO_DEVICE_INITIALIZING) != 0) {
        return STATUS_NO_SUCH_DEVICE;
    }
    if ((found->Flags & DO_EXCLUSIVE) != 0 && found->ReferenceCount != 0) {
        return STATUS_ACCESS_DENIED;
    }
    InterlockedIncrement(&found->ReferenceCount);
    *device = found;
    return STATUS_SUCCESS;
}

void DeviceTable::DereferenceFileObject(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> lock(mutex_);
    InterlockedDecrement(&device->ReferenceCount);
    FreeIfUnreferenced(device);
}

void DeviceTable::AddKernelReference(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = records_.find(device);
    if (it == records_.end()) {
        verifier::BugCheck(rule::kVerifierViolation,
                           PointerText(device) + " used as a device object but is none");
    }
    ++it->second.KernelReferences;
}

void DeviceTable::ReleaseKernelReference(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> lock(mutex_);
    --records_.at(device).KernelReferences;
    FreeIfUnreferenced(device);
}

std::string DeviceTable::NameOf(PDEVICE_OBJECT device) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = records_.find(device);
    if (it == records_.end()) {
        return PointerText(device);
    }
    return it->second.Name.empty() ? "unnamed device " + PointerText(device) : it->second.Name;
}

}  // namespace host
