// Rtl registry routines of the host kernel, over the host registry store.
//
// RtlQueryRegistryValues reads its key once, in one transaction, and then
// works through the table in order, so every value of one call comes from
// one state of the key.
//
// Supported: named entries with RTL_QUERY_REGISTRY_DIRECT and
// RTL_QUERY_REGISTRY_TYPECHECK, for a REG_DWORD or REG_SZ, with or without
// a default of that type. Any other flag, a query routine or another type
// stops the host: nothing here implements them. A table missing a name or a
// destination answers STATUS_INVALID_PARAMETER before anything is stored; a
// REG_DWORD longer than its destination answers STATUS_OBJECT_TYPE_MISMATCH
// instead of overrunning it.
//
// Every routine needs a non-empty path, and the value routines a non-empty
// value name (STATUS_INVALID_PARAMETER otherwise); names holding unpaired
// surrogates answer STATUS_OBJECT_NAME_INVALID. RtlWriteRegistryValue
// creates a missing key only when its parent exists, as Windows does
// (STATUS_OBJECT_NAME_NOT_FOUND otherwise).

#include "kernel_impl.h"
#include "registry_store.h"
#include "rtl_pool.h"
#include "rtl_unicode.h"
#include "verifier.h"
#include "verifier_rules.h"

#include <wdm.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

using host::RegistryNamedValue;
using host::RegistryStore;
using host::RegistryValue;
using host::verifier::RequireIrqlAtMost;

using Bytes = std::vector<std::uint8_t>;

// The one kind of entry the host implements: a value stored straight into
// its destination after its type is checked.
constexpr ULONG kDirectChecked = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK;
// DefaultType: the default's type in the low byte, the type TYPECHECK
// expects in the high byte.
constexpr ULONG kDefaultTypeMask = 0x000000FF;
constexpr std::size_t kDwordBytes = sizeof(ULONG);

RegistryStore& Store()
{
    return host::Internals().Registry();
}

// A name or path the driver passes: required and non-empty.
NTSTATUS ToUtf8(PCWSTR text, std::string* utf8)
{
    if (text == nullptr || *text == UNICODE_NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    std::optional<std::string> converted = host::rtl::Utf16ToUtf8(host::rtl::ToU16(text));
    if (!converted) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    *utf8 = std::move(*converted);
    return STATUS_SUCCESS;
}

// Where a value lives: its key and its name.
NTSTATUS ValueLocation(PCWSTR path, PCWSTR valueName, std::string* key, std::string* name)
{
    const NTSTATUS status = ToUtf8(path, key);
    return NT_SUCCESS(status) ? ToUtf8(valueName, name) : status;
}

// ---------------------------------------------------------------------------
// RtlQueryRegistryValues
// ---------------------------------------------------------------------------

bool IsTerminator(const RTL_QUERY_REGISTRY_TABLE& entry)
{
    return entry.QueryRoutine == nullptr && entry.Name == nullptr &&
           (entry.Flags & (RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_SUBKEY)) == 0;
}

ULONG CheckedType(const RTL_QUERY_REGISTRY_TABLE& entry)
{
    return entry.DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
}

NTSTATUS ValidateEntry(const RTL_QUERY_REGISTRY_TABLE& entry)
{
    const ULONG type = CheckedType(entry);
    const ULONG defaultType = entry.DefaultType & kDefaultTypeMask;
    if (entry.Flags != kDirectChecked || entry.QueryRoutine != nullptr ||
        (type != REG_DWORD && type != REG_SZ) || (defaultType != REG_NONE && defaultType != type) ||
        entry.DefaultType != ((type << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | defaultType)) {
        host::verifier::BugCheck(host::rule::kVerifierViolation,
                                 "RtlQueryRegistryValues: unsupported entry (flags " +
                                     host::verifier::Hex(entry.Flags) + ", type " +
                                     host::verifier::Hex(entry.DefaultType) +
                                     (entry.QueryRoutine != nullptr ? ", query routine" : "") +
                                     "): only DIRECT|TYPECHECK entries for a REG_DWORD or REG_SZ");
    }
    if (entry.Name == nullptr || entry.EntryContext == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::string name;
    const NTSTATUS status = ToUtf8(entry.Name, &name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (defaultType != REG_NONE && entry.DefaultData == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

// The default of an entry; a REG_SZ default of length 0 runs to its NUL,
// terminator included.
Bytes DefaultBytes(const RTL_QUERY_REGISTRY_TABLE& entry, ULONG type)
{
    const auto* data = static_cast<const std::uint8_t*>(entry.DefaultData);
    std::size_t length = entry.DefaultLength;
    if (length == 0 && type == REG_SZ) {
        length = (host::rtl::WideLength(static_cast<const WCHAR*>(entry.DefaultData)) + 1) *
                 sizeof(WCHAR);
    }
    return Bytes(data, data + length);
}

// The text without its trailing NUL, then a NUL; the destination needs
// room for both, or a NULL Buffer to have one allocated.
NTSTATUS StoreString(PUNICODE_STRING destination, const Bytes& data)
{
    host::rtl::RequireWellFormed(destination, "RtlQueryRegistryValues (direct string)");
    std::size_t units = data.size() / sizeof(WCHAR);
    if (units > 0 && data[2 * units - 2] == 0 && data[2 * units - 1] == 0) {
        --units;
    }
    const std::size_t textBytes = units * sizeof(WCHAR);
    const std::size_t needed = textBytes + sizeof(WCHAR);
    if (needed > UNICODE_STRING_MAX_BYTES) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (destination->Buffer == nullptr) {
        auto* buffer =
            static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, needed, host::rtl::kStringPoolTag));
        if (buffer == nullptr) {
            return STATUS_NO_MEMORY;
        }
        destination->Buffer = buffer;
        destination->MaximumLength = static_cast<USHORT>(needed);
    } else if (needed > destination->MaximumLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (textBytes != 0) {
        std::memcpy(destination->Buffer, data.data(), textBytes);
    }
    destination->Buffer[units] = UNICODE_NULL;
    destination->Length = static_cast<USHORT>(textBytes);
    return STATUS_SUCCESS;
}

NTSTATUS StoreDirect(RTL_QUERY_REGISTRY_TABLE& entry, ULONG type, const Bytes& data)
{
    if (type == REG_SZ) {
        return StoreString(static_cast<PUNICODE_STRING>(entry.EntryContext), data);
    }
    if (data.size() > kDwordBytes) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    // An empty value has no buffer to copy from.
    if (!data.empty()) {
        std::memcpy(entry.EntryContext, data.data(), data.size());
    }
    return STATUS_SUCCESS;
}

class TableQuery {
public:
    explicit TableQuery(std::vector<RegistryNamedValue> values) : values_(std::move(values))
    {
        for (std::size_t i = 0; i < values_.size(); ++i) {
            if (std::optional<std::string> folded = host::rtl::FoldName(values_[i].Name)) {
                index_.emplace(std::move(*folded), i);
            }
        }
    }

    NTSTATUS Run(RTL_QUERY_REGISTRY_TABLE& entry)
    {
        const ULONG type = CheckedType(entry);
        std::string name;
        ToUtf8(entry.Name, &name);  // checked by ValidateEntry
        const auto found = index_.find(host::rtl::FoldName(name).value_or(std::string()));
        if (found != index_.end()) {
            const RegistryValue& stored = values_[found->second].Value;
            if (stored.Type != type) {
                return STATUS_OBJECT_TYPE_MISMATCH;
            }
            return StoreDirect(entry, type, stored.Data);
        }
        if ((entry.DefaultType & kDefaultTypeMask) == REG_NONE) {
            return STATUS_SUCCESS;
        }
        return StoreDirect(entry, type, DefaultBytes(entry, type));
    }

private:
    std::vector<RegistryNamedValue> values_;
    std::unordered_map<std::string, std::size_t> index_;  // folded name -> value
};

}  // namespace

extern "C" {

NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path,
                                      PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                      PVOID Environment)
{
    UNREFERENCED_PARAMETER(Context);      // only query routines see it
    UNREFERENCED_PARAMETER(Environment);  // no expansion on the host
    RequireIrqlAtMost(PASSIVE_LEVEL, "RtlQueryRegistryValues");
    std::string key;
    NTSTATUS status = ToUtf8(Path, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (QueryTable == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::size_t entries = 0;
    for (; !IsTerminator(QueryTable[entries]); ++entries) {
        status = ValidateEntry(QueryTable[entries]);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }

    std::vector<RegistryNamedValue> values;
    status = Store().ReadKey(RelativeTo, key, &values);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    TableQuery query(std::move(values));
    for (std::size_t i = 0; i < entries; ++i) {
        status = query.Run(QueryTable[i]);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName,
                                     ULONG ValueType, PVOID ValueData, ULONG ValueLength)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "RtlWriteRegistryValue");
    std::string key;
    std::string name;
    NTSTATUS status = ValueLocation(Path, ValueName, &key, &name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (ValueData == nullptr && ValueLength != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    const auto* data = static_cast<const std::uint8_t*>(ValueData);
    RegistryValue value{ValueType, ValueLength == 0 ? Bytes() : Bytes(data, data + ValueLength)};
    return Store().WriteValue(RelativeTo, key, name, value, RegistryStore::KeyCreation::LastKeyOnly);
}

NTSTATUS NTAPI RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "RtlDeleteRegistryValue");
    std::string key;
    std::string name;
    const NTSTATUS status = ValueLocation(Path, ValueName, &key, &name);
    return NT_SUCCESS(status) ? Store().DeleteValue(RelativeTo, key, name) : status;
}

}  // extern "C"
