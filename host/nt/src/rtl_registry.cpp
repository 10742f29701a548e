// Rtl registry routines of the host kernel, over the host registry store.
//
// RtlQueryRegistryValues reads its key once, in one transaction, and then
// works through the table in order, so every value of one call comes from
// one state of the key and query routines run without any lock held.
//
// Supported: entries with RTL_QUERY_REGISTRY_DIRECT, and entries with a
// query routine (a named value, every value of the key, or NOVALUE), with
// REQUIRED, NOEXPAND, TYPECHECK and defaults. SUBKEY, TOPKEY, DELETE and
// registry handles answer STATUS_NOT_IMPLEMENTED; a malformed table answers
// STATUS_INVALID_PARAMETER before anything is stored. REG_EXPAND_SZ text
// holding a '%' answers STATUS_NOT_IMPLEMENTED unless NOEXPAND is set: the
// host has no environment to expand it with.
//
// Stricter than NT: with DIRECT and no TYPECHECK, DefaultType (when not
// REG_NONE) is taken as the shape of the destination, and a stored value of
// another shape (a string for a number, more than four bytes for a
// REG_DWORD) answers STATUS_OBJECT_TYPE_MISMATCH instead of overrunning it.
//
// Every routine needs a non-empty path, and the value routines a non-empty
// value name (STATUS_INVALID_PARAMETER otherwise); names holding unpaired
// surrogates answer STATUS_OBJECT_NAME_INVALID. RtlWriteRegistryValue
// creates missing parent keys too.

#include "kernel_impl.h"
#include "registry_store.h"
#include "rtl_pool.h"
#include "rtl_unicode.h"
#include "verifier.h"

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

constexpr ULONG kKnownQueryFlags = RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_TOPKEY |
                                   RTL_QUERY_REGISTRY_REQUIRED | RTL_QUERY_REGISTRY_NOVALUE |
                                   RTL_QUERY_REGISTRY_NOEXPAND | RTL_QUERY_REGISTRY_DIRECT |
                                   RTL_QUERY_REGISTRY_DELETE | RTL_QUERY_REGISTRY_TYPECHECK;
constexpr ULONG kUnsupportedQueryFlags =
    RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_TOPKEY | RTL_QUERY_REGISTRY_DELETE;
// DefaultType: the default's type in the low byte, the type TYPECHECK
// expects in the high byte, the bits between reserved.
constexpr ULONG kDefaultTypeMask = 0x000000FF;
constexpr ULONG kReservedTypeBits = 0x00FFFF00;
// Non-string data longer than this goes to a size-prefixed buffer.
constexpr std::size_t kDirectScalarBytes = sizeof(ULONG);
// The size-prefixed buffer: its LONG size, then (for a positive size) the
// value's length and type ahead of the data.
constexpr std::size_t kSizedBufferHeader = 2 * sizeof(ULONG);
constexpr char16_t kExpandMarker = u'%';

RegistryStore& Store()
{
    return host::Internals().Registry();
}

bool IsStringType(ULONG type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
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

// RTL_REGISTRY_OPTIONAL changes nothing for the routines here; handles are
// not kept by the host.
NTSTATUS RootOf(ULONG relativeTo, ULONG* root)
{
    if ((relativeTo & RTL_REGISTRY_HANDLE) != 0) {
        return STATUS_NOT_IMPLEMENTED;
    }
    *root = relativeTo & ~static_cast<ULONG>(RTL_REGISTRY_OPTIONAL);
    return STATUS_SUCCESS;
}

NTSTATUS RootAndPath(ULONG relativeTo, PCWSTR path, ULONG* root, std::string* key)
{
    const NTSTATUS status = RootOf(relativeTo, root);
    return NT_SUCCESS(status) ? ToUtf8(path, key) : status;
}

// Where a value lives: its root, its key and its name.
NTSTATUS ValueLocation(ULONG relativeTo, PCWSTR path, PCWSTR valueName, ULONG* root,
                       std::string* key, std::string* name)
{
    const NTSTATUS status = RootAndPath(relativeTo, path, root, key);
    return NT_SUCCESS(status) ? ToUtf8(valueName, name) : status;
}

std::u16string UnitsOf(const Bytes& bytes)
{
    std::u16string units(bytes.size() / sizeof(char16_t), u'\0');
    std::memcpy(units.data(), bytes.data(), units.size() * sizeof(char16_t));
    return units;
}

Bytes BytesOf(const std::u16string& units)
{
    Bytes bytes(units.size() * sizeof(char16_t));
    std::memcpy(bytes.data(), units.data(), bytes.size());
    return bytes;
}

std::vector<WCHAR> WideBuffer(const std::u16string& text)
{
    std::vector<WCHAR> buffer(text.begin(), text.end());
    buffer.push_back(UNICODE_NULL);
    return buffer;
}

// ---------------------------------------------------------------------------
// RtlQueryRegistryValues
// ---------------------------------------------------------------------------

bool IsTerminator(const RTL_QUERY_REGISTRY_TABLE& entry)
{
    return entry.QueryRoutine == nullptr && entry.Name == nullptr &&
           (entry.Flags & (RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_SUBKEY)) == 0;
}

NTSTATUS ValidateEntry(const RTL_QUERY_REGISTRY_TABLE& entry)
{
    const ULONG flags = entry.Flags;
    if ((flags & ~kKnownQueryFlags) != 0 || (entry.DefaultType & kReservedTypeBits) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if ((flags & kUnsupportedQueryFlags) != 0) {
        return STATUS_NOT_IMPLEMENTED;
    }
    const bool typeCheck = (flags & RTL_QUERY_REGISTRY_TYPECHECK) != 0;
    if ((entry.DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) != 0 && !typeCheck) {
        return STATUS_INVALID_PARAMETER;
    }
    if ((flags & RTL_QUERY_REGISTRY_DIRECT) != 0) {
        if (entry.QueryRoutine != nullptr || entry.Name == nullptr ||
            entry.EntryContext == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
    } else if (entry.QueryRoutine == nullptr || typeCheck) {
        return STATUS_INVALID_PARAMETER;
    }
    if (entry.Name != nullptr) {
        std::string name;
        const NTSTATUS status = ToUtf8(entry.Name, &name);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    const ULONG defaultType = entry.DefaultType & kDefaultTypeMask;
    if (defaultType != REG_NONE && entry.DefaultData == nullptr &&
        (entry.DefaultLength != 0 || IsStringType(defaultType))) {
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

// The default of an entry; a string default of length 0 runs to its NUL
// (to its empty string for REG_MULTI_SZ), terminator included.
Bytes DefaultBytes(const RTL_QUERY_REGISTRY_TABLE& entry, ULONG type)
{
    const auto* data = static_cast<const std::uint8_t*>(entry.DefaultData);
    std::size_t length = entry.DefaultLength;
    if (length == 0 && IsStringType(type)) {
        const auto* text = static_cast<const WCHAR*>(entry.DefaultData);
        std::size_t units = host::rtl::WideLength(text) + 1;
        if (type == REG_MULTI_SZ) {
            while (text[units] != UNICODE_NULL) {
                units += host::rtl::WideLength(text + units) + 1;
            }
            ++units;
        }
        length = units * sizeof(WCHAR);
    }
    return Bytes(data, data + length);
}

class TableQuery {
public:
    TableQuery(std::vector<RegistryNamedValue> values, PVOID context)
        : values_(std::move(values)), context_(context)
    {
        for (std::size_t i = 0; i < values_.size(); ++i) {
            if (std::optional<std::string> folded = host::rtl::FoldName(values_[i].Name)) {
                index_.emplace(std::move(*folded), i);
            }
        }
    }

    NTSTATUS Run(RTL_QUERY_REGISTRY_TABLE& entry)
    {
        const ULONG defaultType = entry.DefaultType & kDefaultTypeMask;
        const bool required = (entry.Flags & RTL_QUERY_REGISTRY_REQUIRED) != 0;

        if (entry.Name == nullptr) {
            return RunForEveryValue(entry, defaultType, required);
        }
        std::string name;
        ToUtf8(entry.Name, &name);  // checked by ValidateEntry
        const auto found = index_.find(host::rtl::FoldName(name).value_or(std::string()));
        if (found != index_.end()) {
            const RegistryValue& stored = values_[found->second].Value;
            const ULONG expected = entry.DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
            if ((entry.Flags & RTL_QUERY_REGISTRY_TYPECHECK) != 0 && stored.Type != expected) {
                return STATUS_OBJECT_TYPE_MISMATCH;
            }
            return Deliver(entry, entry.Name, stored.Type, stored.Data, true);
        }
        if (required) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        if (defaultType == REG_NONE) {
            return STATUS_SUCCESS;
        }
        return Deliver(entry, entry.Name, defaultType, DefaultBytes(entry, defaultType), false);
    }

private:
    NTSTATUS RunForEveryValue(RTL_QUERY_REGISTRY_TABLE& entry, ULONG defaultType, bool required)
    {
        if ((entry.Flags & RTL_QUERY_REGISTRY_NOVALUE) != 0) {
            return CallRoutine(entry, nullptr, REG_NONE, nullptr, 0);
        }
        if (values_.empty()) {
            if (required) {
                return STATUS_OBJECT_NAME_NOT_FOUND;
            }
            return defaultType == REG_NONE ? STATUS_SUCCESS
                                           : Deliver(entry, nullptr, defaultType,
                                                     DefaultBytes(entry, defaultType), false);
        }
        for (const RegistryNamedValue& value : values_) {
            std::optional<std::u16string> name = host::rtl::Utf8ToUtf16(value.Name);
            std::vector<WCHAR> wideName = WideBuffer(name.value_or(std::u16string()));
            const NTSTATUS status =
                Deliver(entry, wideName.data(), value.Value.Type, value.Value.Data, true);
            if (!NT_SUCCESS(status)) {
                return status;
            }
        }
        return STATUS_SUCCESS;
    }

    NTSTATUS Deliver(RTL_QUERY_REGISTRY_TABLE& entry, PWSTR name, ULONG type, const Bytes& data,
                     bool stored)
    {
        const bool noExpand = (entry.Flags & RTL_QUERY_REGISTRY_NOEXPAND) != 0;
        if (type == REG_EXPAND_SZ && !noExpand &&
            UnitsOf(data).find(kExpandMarker) != std::u16string::npos) {
            return STATUS_NOT_IMPLEMENTED;
        }
        if ((entry.Flags & RTL_QUERY_REGISTRY_DIRECT) != 0) {
            return StoreDirect(entry, type, data, stored);
        }
        if (type == REG_MULTI_SZ && !noExpand) {
            return DeliverEachString(entry, name, data);
        }
        if (type == REG_SZ || (type == REG_EXPAND_SZ && !noExpand)) {
            // Routines receive string values NUL-terminated, as REG_SZ.
            std::u16string text = UnitsOf(data);
            if (text.empty() || text.back() != u'\0') {
                text.push_back(u'\0');
            }
            Bytes terminated = BytesOf(text);
            return CallRoutine(entry, name, REG_SZ, terminated.data(),
                               static_cast<ULONG>(terminated.size()));
        }
        Bytes copy = data;
        return CallRoutine(entry, name, type, copy.data(), static_cast<ULONG>(copy.size()));
    }

    // A REG_MULTI_SZ reaches a routine one string at a time, as REG_SZ.
    NTSTATUS DeliverEachString(RTL_QUERY_REGISTRY_TABLE& entry, PWSTR name, const Bytes& data)
    {
        const std::u16string units = UnitsOf(data);
        std::size_t start = 0;
        while (start < units.size() && units[start] != u'\0') {
            std::size_t end = units.find(u'\0', start);
            if (end == std::u16string::npos) {
                end = units.size();
            }
            Bytes one = BytesOf(units.substr(start, end - start) + u'\0');
            const NTSTATUS status =
                CallRoutine(entry, name, REG_SZ, one.data(), static_cast<ULONG>(one.size()));
            if (!NT_SUCCESS(status)) {
                return status;
            }
            start = end + 1;
        }
        return STATUS_SUCCESS;
    }

    NTSTATUS CallRoutine(RTL_QUERY_REGISTRY_TABLE& entry, PWSTR name, ULONG type, PVOID data,
                         ULONG length)
    {
        const NTSTATUS status =
            entry.QueryRoutine(name, type, data, length, context_, entry.EntryContext);
        // A routine's STATUS_BUFFER_TOO_SMALL does not end the query.
        return NT_SUCCESS(status) || status == STATUS_BUFFER_TOO_SMALL ? STATUS_SUCCESS : status;
    }

    static NTSTATUS StoreDirect(RTL_QUERY_REGISTRY_TABLE& entry, ULONG type, const Bytes& data,
                                bool stored)
    {
        const ULONG destinationType = entry.DefaultType & kDefaultTypeMask;
        const bool typeCheck = (entry.Flags & RTL_QUERY_REGISTRY_TYPECHECK) != 0;
        if (stored && !typeCheck && destinationType != REG_NONE) {
            const bool shapeDiffers = IsStringType(destinationType) != IsStringType(type);
            const bool overrunsDword =
                destinationType == REG_DWORD && data.size() > kDirectScalarBytes;
            if (shapeDiffers || overrunsDword) {
                return STATUS_OBJECT_TYPE_MISMATCH;
            }
        }
        if (IsStringType(type)) {
            if (type == REG_MULTI_SZ && (entry.Flags & RTL_QUERY_REGISTRY_NOEXPAND) == 0) {
                return STATUS_INVALID_PARAMETER;  // a REG_MULTI_SZ goes direct only whole
            }
            return StoreString(static_cast<PUNICODE_STRING>(entry.EntryContext), data);
        }
        return StoreBinary(entry.EntryContext, type, data);
    }

    // The text without its trailing NUL, then a NUL; the destination needs
    // room for both, or a NULL Buffer to have one allocated.
    static NTSTATUS StoreString(PUNICODE_STRING destination, const Bytes& data)
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
            auto* buffer = static_cast<PWSTR>(
                ExAllocatePoolWithTag(PagedPool, needed, host::rtl::kStringPoolTag));
            if (buffer == nullptr) {
                return STATUS_NO_MEMORY;
            }
            destination->Buffer = buffer;
            destination->MaximumLength = static_cast<USHORT>(needed);
        } else if (needed > destination->MaximumLength) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        std::memcpy(destination->Buffer, data.data(), textBytes);
        destination->Buffer[units] = UNICODE_NULL;
        destination->Length = static_cast<USHORT>(textBytes);
        return STATUS_SUCCESS;
    }

    static NTSTATUS StoreBinary(PVOID destination, ULONG type, const Bytes& data)
    {
        auto* bytes = static_cast<std::uint8_t*>(destination);
        if (data.size() <= kDirectScalarBytes) {
            std::memcpy(bytes, data.data(), data.size());
            return STATUS_SUCCESS;
        }
        LONG declared = 0;
        std::memcpy(&declared, bytes, sizeof(declared));
        if (declared < 0) {
            // Negative size: the buffer takes the bare data.
            const auto capacity = static_cast<std::uint64_t>(-static_cast<std::int64_t>(declared));
            if (data.size() > capacity) {
                return STATUS_BUFFER_TOO_SMALL;
            }
            std::memcpy(bytes, data.data(), data.size());
            return STATUS_SUCCESS;
        }
        if (data.size() + kSizedBufferHeader > static_cast<std::uint64_t>(declared)) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        const auto length = static_cast<ULONG>(data.size());
        std::memcpy(bytes, &length, sizeof(length));
        std::memcpy(bytes + sizeof(ULONG), &type, sizeof(type));
        std::memcpy(bytes + kSizedBufferHeader, data.data(), data.size());
        return STATUS_SUCCESS;
    }

    std::vector<RegistryNamedValue> values_;
    std::unordered_map<std::string, std::size_t> index_;  // folded name -> value
    PVOID context_;
};

}  // namespace

extern "C" {

NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path,
                                      PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                      PVOID Environment)
{
    UNREFERENCED_PARAMETER(Environment);  // no expansion on the host
    RequireIrqlAtMost(PASSIVE_LEVEL, "RtlQueryRegistryValues");
    ULONG root = 0;
    std::string key;
    NTSTATUS status = RootAndPath(RelativeTo, Path, &root, &key);
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
    status = Store().ReadKey(root, key, &values);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    TableQuery query(std::move(values), Context);
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
    ULONG root = 0;
    std::string key;
    std::string name;
    NTSTATUS status = ValueLocation(RelativeTo, Path, ValueName, &root, &key, &name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (ValueData == nullptr && ValueLength != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    const auto* data = static_cast<const std::uint8_t*>(ValueData);
    RegistryValue value{ValueType, ValueLength == 0 ? Bytes() : Bytes(data, data + ValueLength)};
    return Store().Write(root, key, name, value);
}

NTSTATUS NTAPI RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "RtlDeleteRegistryValue");
    ULONG root = 0;
    std::string key;
    std::string name;
    const NTSTATUS status = ValueLocation(RelativeTo, Path, ValueName, &root, &key, &name);
    return NT_SUCCESS(status) ? Store().DeleteValue(root, key, name) : status;
}

}  // extern "C"
