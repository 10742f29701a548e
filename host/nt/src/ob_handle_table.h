// The object manager's part for kernel handles: the handle table and the
// counts of the file objects behind it. As on Windows, a file object counts
// its handles and its references, and every handle holds one reference:
// closing the last handle sends IRP_MJ_CLEANUP, dropping the last reference
// sends IRP_MJ_CLOSE and frees the object. The IRPs themselves are the
// caller's to send (ob_file_close.h).
#pragma once

#include <host/common/non_copyable.h>
#include "ob_file_object.h"

#include <wdm.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace host {

class ObjectTable : zel::NonCopyable {
public:
    // A new file object with its first handle (and that handle's reference).
    HANDLE Insert(std::unique_ptr<KernelFile> file, ACCESS_MASK access, ULONG attributes);

    // Adds a reference; STATUS_INVALID_HANDLE when the handle is not open.
    NTSTATUS Reference(HANDLE handle, PFILE_OBJECT* object, POBJECT_HANDLE_INFORMATION info);
    // The file object behind an open handle, without a reference; or null.
    KernelFile* Lookup(HANDLE handle);

    // Closes the handle (a bug check when it is not open). The handle's
    // reference stays with the caller, who drops it after the cleanup; true
    // in *lastHandle when no handle to the object is left.
    KernelFile* CloseHandle(HANDLE handle, bool* lastHandle);

    // Bug checks for an object the table does not hold. Returns the new
    // reference count; at 0, *closing is the object, which the caller
    // closes and then Erases.
    LONG_PTR DropReference(PVOID object, const char* routine, KernelFile** closing);
    void Erase(KernelFile* file);

    // For the unload checks: open handles, and objects that are still
    // referenced once their handles are gone.
    std::vector<std::string> OpenHandles() const;
    std::vector<std::string> ReferencedObjects() const;

private:
    struct Entry {
        std::unique_ptr<KernelFile> File;
        int Handles = 0;
        LONG_PTR References = 0;
    };
    struct Handle {
        PFILE_OBJECT Object;
        ACCESS_MASK Access;
        ULONG Attributes;
    };

    Entry& RequireEntry(PVOID object, const char* routine);

    mutable std::mutex mutex_;
    std::unordered_map<PFILE_OBJECT, Entry> objects_;
    std::unordered_map<HANDLE, Handle> handles_;
    std::uintptr_t nextHandle_ = 0;
};

}  // namespace host
