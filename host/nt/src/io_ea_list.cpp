#include "io_ea_list.h"

#include <cstring>

namespace host::ea {
namespace {

// Entries after the first start on ULONG boundaries.
constexpr ULONG kEntryAlignment = sizeof(ULONG);

const FILE_FULL_EA_INFORMATION* EntryAt(const void* buffer, ULONG offset)
{
    return reinterpret_cast<const FILE_FULL_EA_INFORMATION*>(static_cast<const UCHAR*>(buffer) +
                                                             offset);
}

// Header, name, its NUL and the value.
ULONG EntrySize(const FILE_FULL_EA_INFORMATION* entry)
{
    return FIELD_OFFSET(FILE_FULL_EA_INFORMATION, EaName) + entry->EaNameLength + 1 +
           entry->EaValueLength;
}

bool EntryFits(const void* buffer, ULONG length, ULONG offset)
{
    if (length - offset < static_cast<ULONG>(FIELD_OFFSET(FILE_FULL_EA_INFORMATION, EaName))) {
        return false;
    }
    const FILE_FULL_EA_INFORMATION* entry = EntryAt(buffer, offset);
    return EntrySize(entry) <= length - offset && entry->EaName[entry->EaNameLength] == '\0';
}

bool NextIsValid(const FILE_FULL_EA_INFORMATION* entry, ULONG length, ULONG offset)
{
    const ULONG next = entry->NextEntryOffset;
    return next >= EntrySize(entry) && next % kEntryAlignment == 0 && next < length - offset;
}

}  // namespace

NTSTATUS CheckList(const void* buffer, ULONG length, ULONG* errorOffset)
{
    for (ULONG offset = 0;;) {
        if (!EntryFits(buffer, length, offset)) {
            *errorOffset = offset;
            return STATUS_EA_LIST_INCONSISTENT;
        }
        const FILE_FULL_EA_INFORMATION* entry = EntryAt(buffer, offset);
        if (entry->NextEntryOffset == 0) {
            return STATUS_SUCCESS;
        }
        if (!NextIsValid(entry, length, offset)) {
            *errorOffset = offset;
            return STATUS_EA_LIST_INCONSISTENT;
        }
        offset += entry->NextEntryOffset;
    }
}

std::optional<Value> Find(const void* buffer, ULONG length, std::string_view name)
{
    if (buffer == nullptr || length == 0) {
        return std::nullopt;
    }
    for (ULONG offset = 0;;) {
        const FILE_FULL_EA_INFORMATION* entry = EntryAt(buffer, offset);
        if (entry->EaNameLength == name.size() &&
            std::memcmp(entry->EaName, name.data(), name.size()) == 0) {
            const auto* value =
                reinterpret_cast<const UCHAR*>(entry->EaName) + entry->EaNameLength + 1;
            return Value{value, entry->EaValueLength};
        }
        if (entry->NextEntryOffset == 0) {
            return std::nullopt;
        }
        offset += entry->NextEntryOffset;
    }
}

}  // namespace host::ea
