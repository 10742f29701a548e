#include "ob_handle_table.h"

#include "verifier.h"
#include "verifier_rules.h"

#include <cstdio>

namespace host {
namespace {

// Kernel handles have their top bit set and step by four, as on x64
// Windows. Values are never reused, so a stale handle stays invalid.
constexpr std::uintptr_t kKernelHandleBits = 0xFFFFFFFF80000000u;
constexpr std::uintptr_t kHandleStep = 4;

using host::verifier::PointerText;

}  // namespace

HANDLE ObjectTable::Insert(std::unique_ptr<KernelFile> file, ACCESS_MASK access, ULONG attributes)
{
    PFILE_OBJECT object = file->Object();
    std::lock_guard<std::mutex> lock(mutex_);
    nextHandle_ += kHandleStep;
    auto* handle = reinterpret_cast<HANDLE>(kKernelHandleBits | nextHandle_);
    objects_.emplace(object, Entry{std::move(file), 1, 1});
    handles_.emplace(handle, Handle{object, access, attributes});
    return handle;
}

NTSTATUS ObjectTable::Reference(HANDLE handle, PFILE_OBJECT* object,
                                POBJECT_HANDLE_INFORMATION info)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = handles_.find(handle);
    if (it == handles_.end()) {
        return STATUS_INVALID_HANDLE;
    }
    ++objects_.at(it->second.Object).References;
    *object = it->second.Object;
    if (info != nullptr) {
        info->HandleAttributes = it->second.Attributes;
        info->GrantedAccess = it->second.Access;
    }
    return STATUS_SUCCESS;
}

KernelFile* ObjectTable::Lookup(HANDLE handle)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = handles_.find(handle);
    return it == handles_.end() ? nullptr : objects_.at(it->second.Object).File.get();
}

KernelFile* ObjectTable::CloseHandle(HANDLE handle, bool* lastHandle)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = handles_.find(handle);
    if (it == handles_.end()) {
        verifier::BugCheck(
            rule::kInvalidKernelHandle,
            "ZwClose of " + PointerText(handle) + ", which is not an open handle (closed twice?)");
    }
    Entry& entry = objects_.at(it->second.Object);
    handles_.erase(it);
    *lastHandle = --entry.Handles == 0;
    return entry.File.get();
}

ObjectTable::Entry& ObjectTable::RequireEntry(PVOID object, const char* routine)
{
    auto it = objects_.find(static_cast<PFILE_OBJECT>(object));
    if (it == objects_.end()) {
        verifier::BugCheck(rule::kReferenceByPointer,
                           std::string(routine) + " on " + PointerText(object) +
                               ", which is not a referenced object (dereferenced too often?)");
    }
    return it->second;
}

LONG_PTR ObjectTable::DropReference(PVOID object, const char* routine, KernelFile** closing)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Entry& entry = RequireEntry(object, routine);
    if (entry.References == 0) {
        verifier::BugCheck(
            rule::kReferenceByPointer,
            std::string(routine) + " on " + PointerText(object) + ", which is being closed");
    }
    *closing = --entry.References == 0 ? entry.File.get() : nullptr;
    return entry.References;
}

void ObjectTable::Erase(KernelFile* file)
{
    std::unique_ptr<KernelFile> owned;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = objects_.find(file->Object());
        owned = std::move(it->second.File);
        objects_.erase(it);
    }
}

std::vector<std::string> ObjectTable::OpenHandles() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> lines;
    for (const auto& [handle, entry] : handles_) {
        lines.push_back("handle " + PointerText(handle) + " to " +
                        objects_.at(entry.Object).File->OpenedName());
    }
    return lines;
}

std::vector<std::string> ObjectTable::ReferencedObjects() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> lines;
    for (const auto& [object, entry] : objects_) {
        if (entry.Handles == 0) {
            lines.push_back("file object " + PointerText(object) + " of " +
                            entry.File->OpenedName() + " (" + std::to_string(entry.References) +
                            " reference(s))");
        }
    }
    return lines;
}

}  // namespace host
