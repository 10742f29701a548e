// Extended-attribute lists: the chain of FILE_FULL_EA_INFORMATION entries a
// create carries. ZwCreateFile checks a list before the driver sees it, as
// the I/O manager does; a driver looks entries up by name.
#pragma once

#include <wdm.h>

#include <optional>
#include <string_view>

namespace host::ea {

// STATUS_SUCCESS, or STATUS_EA_LIST_INCONSISTENT with *errorOffset at the
// entry that is malformed or runs past the buffer.
NTSTATUS CheckList(const void* buffer, ULONG length, ULONG* errorOffset);

struct Value {
    const UCHAR* Data;
    USHORT Length;
};

// The value of the entry named exactly `name` in a checked list.
std::optional<Value> Find(const void* buffer, ULONG length, std::string_view name);

}  // namespace host::ea
