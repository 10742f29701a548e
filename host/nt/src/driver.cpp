// Loading and unloading the driver, with the verifier's checks that a
// failed entry or an unload leaves nothing behind.
#include "callback_check.h"
#include "device_table.h"
#include "io_manager.h"
#include "irp_table.h"
#include "kernel_impl.h"
#include "loaded_driver.h"
#include "mdl_table.h"
#include "ob_handle_table.h"
#include "pool.h"
#include "registry_store.h"
#include "rtl_unicode.h"
#include "thread_state.h"
#include "timer_queue.h"
#include "verifier.h"
#include "verifier_rules.h"
#include "work_item_table.h"
#include "worker.h"

#include <stdexcept>
#include <utility>

namespace host {
namespace {

constexpr char16_t kDriverDirectory[] = u"\\Driver\\";
constexpr char16_t kServicesKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";

std::unique_ptr<LoadedDriver> MakeDriver(const std::u16string& serviceName,
                                         PDRIVER_INITIALIZE entry)
{
    auto driver = std::make_unique<LoadedDriver>();
    driver->Name = kDriverDirectory + serviceName;
    driver->ServiceKey = serviceName;
    DRIVER_OBJECT& object = driver->Object;
    object.Type = IO_TYPE_DRIVER;
    object.Size = sizeof(DRIVER_OBJECT);
    object.Flags = DRVO_LEGACY_DRIVER;
    object.DriverExtension = &driver->Extension;
    object.DriverInit = entry;
    SetString(&object.DriverName, driver->Name);
    for (PDRIVER_DISPATCH& routine : object.MajorFunction) {
        routine = InvalidDeviceRequest;
    }
    driver->Extension.DriverObject = &object;
    SetString(&driver->Extension.ServiceKeyName, driver->ServiceKey);
    return driver;
}

std::string Joined(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines) {
        text += (text.empty() ? "" : "; ") + line;
    }
    return text;
}

void RequireEmpty(const std::vector<std::string>& left, const char* rule, const std::string& what)
{
    if (!left.empty()) {
        verifier::BugCheck(rule, what + ": " + Joined(left));
    }
}

}  // namespace

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

void SetString(UNICODE_STRING* target, std::u16string& text)
{
    target->Buffer = reinterpret_cast<PWSTR>(text.data());
    target->Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    target->MaximumLength = target->Length;
}

bool Kernel::Impl::DriverLoaded() const
{
    return driver_ != nullptr;
}

PDRIVER_OBJECT Kernel::Impl::DriverObject() const
{
    return driver_ != nullptr ? &driver_->Object : nullptr;
}

NTSTATUS Kernel::Impl::LoadDriver(const std::string& serviceName, PDRIVER_INITIALIZE entry)
{
    verifier::RequireIrqlAtMost(PASSIVE_LEVEL, "LoadDriver");
    if (driver_ != nullptr) {
        throw std::logic_error("a driver is already loaded");
    }
    auto name = rtl::Utf8ToUtf16(serviceName);
    if (!name || name->empty()) {
        throw std::invalid_argument("invalid service name: " + serviceName);
    }
    // As a service's installation leaves it: the driver's key exists.
    const NTSTATUS keyStatus = registry_->CreateKey(RTL_REGISTRY_SERVICES, serviceName);
    if (!NT_SUCCESS(keyStatus)) {
        return keyStatus;
    }
    auto driver = MakeDriver(*name, entry);
    // The path is the caller's only for the entry's duration, as on Windows.
    std::u16string registryPath = kServicesKey + *name;
    UNICODE_STRING path;
    SetString(&path, registryPath);

    const thread_state::Snapshot before = thread_state::Take();
    const NTSTATUS status = entry(&driver->Object, &path);
    verifier::RequireUnchanged(before, "DriverEntry");
    if (!NT_SUCCESS(status)) {
        WaitForDriverCallbacks();
        VerifyNothingLeft(&driver->Object, "failed its DriverEntry");
        return status;
    }
    driver_ = std::move(driver);
    return status;
}

void Kernel::Impl::UnloadDriver()
{
    verifier::RequireIrqlAtMost(PASSIVE_LEVEL, "UnloadDriver");
    if (driver_ == nullptr) {
        throw std::logic_error("no driver is loaded");
    }
    io_->PrepareForUnload();
    DRIVER_OBJECT& object = driver_->Object;
    object.Flags |= DRVO_UNLOAD_INVOKED;
    if (object.DriverUnload != nullptr) {
        const thread_state::Snapshot before = thread_state::Take();
        object.DriverUnload(&object);
        verifier::RequireUnchanged(before, "DriverUnload");
    }
    WaitForDriverCallbacks();
    VerifyNothingLeft(&object, "unloaded");
    driver_.reset();
}

void Kernel::Impl::WaitForDriverCallbacks()
{
    // Nothing may still be queued; a DPC or work item already running is
    // let finish, and must not have queued anything either.
    for (int pass = 0; pass < 2; ++pass) {
        RequireEmpty(timers_->Queued(), rule::kPendingOperationsAtUnload,
                     "driver left timers or DPCs queued");
        if (workItems_->QueuedCount() != 0) {
            verifier::BugCheck(rule::kPendingOperationsAtUnload, "driver left work items queued");
        }
        timers_->WaitUntilIdle();
        worker_->WaitUntilIdle();
    }
}

void Kernel::Impl::VerifyNothingLeft(PDRIVER_OBJECT driver, const char* when)
{
    std::vector<std::string> devices;
    for (PDEVICE_OBJECT device = driver->DeviceObject; device != nullptr;
         device = device->NextDevice) {
        devices.push_back(devices_->NameOf(device));
    }
    const std::pair<std::vector<std::string>, const char*> leftovers[] = {
        {std::move(devices), "deleting its device objects"},
        {workItems_->Allocated(), "freeing its work items"},
        {irps_->DriverAllocated(), "freeing the IRPs it allocated"},
        {pool_->LiveBlocks(), "freeing its pool allocations"},
        {objects_->OpenHandles(), "closing its handles"},
        {objects_->ReferencedObjects(), "dereferencing its file objects"},
        {mdls_->Allocated(), "freeing its MDLs"},
    };
    for (const auto& [left, undone] : leftovers) {
        RequireEmpty(left, rule::kVerifierViolation,
                     std::string("driver ") + when + " without " + undone);
    }
}

}  // namespace host
