#include "config/registry_config.h"

#include "config/module_table.h"
#include "core/counted_string.h"
#include "core/devices.h"

namespace {

// Key paths and value names, all relative to the services root:
//   ZelVCOM\ModuleInfo       ModuleCount
//   ZelVCOM\ModuleSvr<i>     ModuleIP, ControlPort, SerialCount, ModuleName,
//                            SerialPort<j>, SerialNum<j>, SerialParaFlag<j>
// A name that cannot be built comes back Empty; callers make no registry
// call with it.
PCWSTR const MODULE_COUNT_VALUE = L"ModuleCount";
PCWSTR const MODULE_IP_VALUE = L"ModuleIP";
PCWSTR const CONTROL_PORT_VALUE = L"ControlPort";
PCWSTR const SERIAL_COUNT_VALUE = L"SerialCount";
PCWSTR const MODULE_NAME_VALUE = L"ModuleName";
PCWSTR const SERIAL_PORT_VALUE_BASE = L"SerialPort";
PCWSTR const SERIAL_NUM_VALUE_BASE = L"SerialNum";
PCWSTR const SERIAL_PARA_FLAG_VALUE_BASE = L"SerialParaFlag";

PCWSTR const SERVICE_KEY = L"ZelVCOM";
PCWSTR const MODULE_INFO_SUBKEY = L"\\ModuleInfo";
PCWSTR const MODULE_SUBKEY_BASE = L"\\ModuleSvr";

// Service key + Suffix; Empty when it cannot be built.
void AppendToServiceKey(CountedString* Path, const CountedString& Suffix)
{
    Path->InitFromLiteral(SERVICE_KEY);
    if (Suffix.IsEmpty()) {
        Path->Release();
        return;
    }
    Path->Append(Suffix);
}

void FormModuleInfoPath(CountedString* Path)
{
    CountedString suffix;
    suffix.InitFromLiteral(MODULE_INFO_SUBKEY);
    AppendToServiceKey(Path, suffix);
    suffix.Release();
}

void FormModuleKeyPath(CountedString* Path, ULONG ModuleIndex)
{
    CountedString suffix;
    FormNumberedName(&suffix, MODULE_SUBKEY_BASE, ModuleIndex);
    AppendToServiceKey(Path, suffix);
    suffix.Release();
}

void FormChannelValueName(CountedString* Name, PCWSTR BaseName, ULONG Channel)
{
    FormNumberedName(Name, BaseName, Channel);
}

// Four values per query (a module's), then the terminating empty entry.
constexpr ULONG QUERY_VALUES_MAXIMUM = 4;
constexpr ULONG QUERY_TABLE_ENTRIES = QUERY_VALUES_MAXIMUM + 1;
// The shared name buffer of a load: 20 UTF-16 code units.
constexpr ULONG NAME_BUFFER_UNITS = MODULE_NAME_SIZE;
constexpr ULONG DWORD_BYTES = sizeof(ULONG);

PCWSTR const DEFAULT_MODULE_NAME = L"NULL";

// ---- Reading -------------------------------------------------------------

struct QueryTable {
    PRTL_QUERY_REGISTRY_TABLE Entries;
    ULONG Used;
    ULONG DefaultDword;
};

void StartQuery(QueryTable* Table)
{
    RtlZeroMemory(Table->Entries, QUERY_TABLE_ENTRIES * sizeof(RTL_QUERY_REGISTRY_TABLE));
    Table->Used = 0;
    Table->DefaultDword = 0;
}

// Values are stored straight into their destinations; a value of another
// type than expected fails the query rather than overrun a destination.
PRTL_QUERY_REGISTRY_TABLE NextEntry(QueryTable* Table, PCWSTR Name, PVOID Destination, ULONG Type)
{
    PRTL_QUERY_REGISTRY_TABLE entry = &Table->Entries[Table->Used++];
    entry->QueryRoutine = nullptr;
    entry->Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK;
    entry->Name = const_cast<PWSTR>(Name);
    entry->EntryContext = Destination;
    entry->DefaultType = (Type << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | Type;
    return entry;
}

// Destination is a 32-bit word.
void AddDwordEntry(QueryTable* Table, PCWSTR Name, PVOID Destination)
{
    PRTL_QUERY_REGISTRY_TABLE entry = NextEntry(Table, Name, Destination, REG_DWORD);
    entry->DefaultData = &Table->DefaultDword;
    entry->DefaultLength = DWORD_BYTES;
}

void AddStringEntry(QueryTable* Table, PCWSTR Name, PUNICODE_STRING Destination, PCWSTR Default)
{
    PRTL_QUERY_REGISTRY_TABLE entry = NextEntry(Table, Name, Destination, REG_SZ);
    entry->DefaultData = const_cast<PWSTR>(Default);
    entry->DefaultLength = 0;  // the default's length comes from its NUL
}

NTSTATUS RunQuery(QueryTable* Table, const CountedString& Path)
{
    if (Path.IsEmpty()) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, Path.Buffer, Table->Entries, nullptr,
                                  nullptr);
}

NTSTATUS QueryModuleCount(QueryTable* Table, ULONG* StoredCount)
{
    CountedString path;
    FormModuleInfoPath(&path);
    StartQuery(Table);
    AddDwordEntry(Table, MODULE_COUNT_VALUE, StoredCount);
    NTSTATUS status = RunQuery(Table, path);
    path.Release();
    return status;
}

NTSTATUS QueryModuleValues(QueryTable* Table, const CountedString& Path, ModuleRecord* Record,
                           PUNICODE_STRING Name)
{
    StartQuery(Table);
    AddDwordEntry(Table, MODULE_IP_VALUE, &Record->ModuleIP);
    AddDwordEntry(Table, CONTROL_PORT_VALUE, &Record->ControlPort);
    AddDwordEntry(Table, SERIAL_COUNT_VALUE, &Record->SerialCount);
    AddStringEntry(Table, MODULE_NAME_VALUE, Name, DEFAULT_MODULE_NAME);
    return RunQuery(Table, Path);
}

NTSTATUS QueryChannelValues(QueryTable* Table, const CountedString& Path, ModuleRecord* Record,
                            ULONG Channel)
{
    CountedString portName;
    CountedString numName;
    CountedString flagName;
    FormChannelValueName(&portName, SERIAL_PORT_VALUE_BASE, Channel);
    FormChannelValueName(&numName, SERIAL_NUM_VALUE_BASE, Channel);
    FormChannelValueName(&flagName, SERIAL_PARA_FLAG_VALUE_BASE, Channel);

    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (!portName.IsEmpty() && !numName.IsEmpty() && !flagName.IsEmpty()) {
        StartQuery(Table);
        AddDwordEntry(Table, portName.Buffer, &Record->SerialPort[Channel]);
        AddDwordEntry(Table, numName.Buffer, &Record->SerialNum[Channel]);
        AddDwordEntry(Table, flagName.Buffer, &Record->SerialParaFlag[Channel]);
        status = RunQuery(Table, Path);
    }
    portName.Release();
    numName.Release();
    flagName.Release();
    return status;
}

// A module whose values could not be read is named "NULL", never after the
// module read before it.
void SetDefaultName(PUNICODE_STRING Name)
{
    UNICODE_STRING fallback;
    RtlInitUnicodeString(&fallback, DEFAULT_MODULE_NAME);
    RtlCopyUnicodeString(Name, &fallback);
}

// Reads record i in place; returns the status of the last query made.
NTSTATUS LoadModule(QueryTable* Table, ULONG ModuleIndex, ModuleRecord* Record,
                    PUNICODE_STRING Name)
{
    CountedString path;
    FormModuleKeyPath(&path, ModuleIndex);

    NTSTATUS status = QueryModuleValues(Table, path, Record, Name);
    if (!NT_SUCCESS(status)) {
        SetDefaultName(Name);
    }
    CopyUnicodeToAnsi(Name, Record->ModuleName, MODULE_NAME_SIZE);

    Record->SerialCount = ChannelCountOf(*Record);
    for (ULONG j = 0; j < Record->SerialCount; ++j) {
        status = QueryChannelValues(Table, path, Record, j);
    }
    path.Release();
    return status;
}

// ---- Writing -------------------------------------------------------------

NTSTATUS WriteValue(const CountedString& Path, PCWSTR ValueName, ULONG Type, PVOID Data,
                    ULONG Length)
{
    if (Path.IsEmpty() || ValueName == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, Path.Buffer, ValueName, Type, Data, Length);
}

NTSTATUS WriteDword(const CountedString& Path, PCWSTR ValueName, uint32_t Value)
{
    ULONG data = Value;
    return WriteValue(Path, ValueName, REG_DWORD, &data, DWORD_BYTES);
}

NTSTATUS WriteChannelDword(const CountedString& Path, PCWSTR BaseName, ULONG Channel,
                           uint32_t Value)
{
    CountedString name;
    FormChannelValueName(&name, BaseName, Channel);
    NTSTATUS status = WriteDword(Path, name.IsEmpty() ? nullptr : name.Buffer, Value);
    name.Release();
    return status;
}

// The name is taken as at most the field's bytes, even without a NUL in it.
NTSTATUS WriteModuleName(const CountedString& Path, const ModuleRecord& Record)
{
    CHAR text[MODULE_NAME_SIZE + 1];
    RtlCopyMemory(text, Record.ModuleName, MODULE_NAME_SIZE);
    text[MODULE_NAME_SIZE] = '\0';

    CountedString name;
    name.InitFromAnsi(text);
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (!name.IsEmpty()) {
        // Stored without a terminating NUL.
        status = WriteValue(Path, MODULE_NAME_VALUE, REG_SZ, name.Buffer, name.Length);
    }
    name.Release();
    return status;
}

NTSTATUS WriteModuleValues(const CountedString& Path, const ModuleRecord& Record)
{
    NTSTATUS status = WriteDword(Path, MODULE_IP_VALUE, Record.ModuleIP);
    if (NT_SUCCESS(status)) {
        status = WriteDword(Path, CONTROL_PORT_VALUE, Record.ControlPort);
    }
    if (NT_SUCCESS(status)) {
        status = WriteDword(Path, SERIAL_COUNT_VALUE, Record.SerialCount);
    }
    if (NT_SUCCESS(status)) {
        status = WriteModuleName(Path, Record);
    }
    return status;
}

// A failed write ends this channel only; the status is the last write's.
NTSTATUS WriteChannelValues(const CountedString& Path, const ModuleRecord& Record, ULONG Channel)
{
    NTSTATUS status =
        WriteChannelDword(Path, SERIAL_PORT_VALUE_BASE, Channel, Record.SerialPort[Channel]);
    if (NT_SUCCESS(status)) {
        status = WriteChannelDword(Path, SERIAL_NUM_VALUE_BASE, Channel, Record.SerialNum[Channel]);
    }
    if (NT_SUCCESS(status)) {
        status = WriteChannelDword(Path, SERIAL_PARA_FLAG_VALUE_BASE, Channel,
                                   Record.SerialParaFlag[Channel]);
    }
    return status;
}

// ---- Deleting ------------------------------------------------------------

void DeleteValue(const CountedString& Path, PCWSTR ValueName)
{
    if (!Path.IsEmpty() && ValueName != nullptr) {
        RtlDeleteRegistryValue(RTL_REGISTRY_SERVICES, Path.Buffer, ValueName);
    }
}

void DeleteChannelValue(const CountedString& Path, PCWSTR BaseName, ULONG Channel)
{
    CountedString name;
    FormChannelValueName(&name, BaseName, Channel);
    DeleteValue(Path, name.IsEmpty() ? nullptr : name.Buffer);
    name.Release();
}

void DeleteModuleValues(const ModuleRecord& Record, ULONG ModuleIndex)
{
    CountedString path;
    FormModuleKeyPath(&path, ModuleIndex);
    DeleteValue(path, MODULE_IP_VALUE);
    DeleteValue(path, CONTROL_PORT_VALUE);
    DeleteValue(path, SERIAL_COUNT_VALUE);
    ULONG channels = ChannelCountOf(Record);
    for (ULONG j = 0; j < channels; ++j) {
        DeleteChannelValue(path, SERIAL_PORT_VALUE_BASE, j);
        DeleteChannelValue(path, SERIAL_NUM_VALUE_BASE, j);
    }
    path.Release();
}

}  // namespace

bool CopyUnicodeToAnsi(PCUNICODE_STRING Source, PCHAR Field, ULONG FieldSize)
{
    ANSI_STRING converted;
    if (FieldSize == 0 || !NT_SUCCESS(RtlUnicodeStringToAnsiString(&converted, Source, TRUE))) {
        return false;
    }
    ULONG length = converted.Length < FieldSize - 1 ? ULONG(converted.Length) : FieldSize - 1;
    RtlCopyMemory(Field, converted.Buffer, length);
    Field[length] = '\0';
    RtlFreeAnsiString(&converted);
    return true;
}

NTSTATUS LoadModuleConfig(ControlExtension* Control)
{
    QueryTable table;
    table.Entries = static_cast<PRTL_QUERY_REGISTRY_TABLE>(
        ExAllocatePool(PagedPool, QUERY_TABLE_ENTRIES * sizeof(RTL_QUERY_REGISTRY_TABLE)));
    if (table.Entries == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    WCHAR nameBuffer[NAME_BUFFER_UNITS];
    UNICODE_STRING name;
    name.Length = 0;
    name.MaximumLength = sizeof(nameBuffer);
    name.Buffer = nameBuffer;

    ULONG storedCount = 0;
    NTSTATUS status = QueryModuleCount(&table, &storedCount);
    if (NT_SUCCESS(status)) {
        // The table holds MODULE_TABLE_SIZE records; a larger count loads as that.
        Control->ModuleCount =
            storedCount < MODULE_TABLE_SIZE ? storedCount : ULONG(MODULE_TABLE_SIZE);
        for (ULONG i = 0; i < Control->ModuleCount; ++i) {
            status = LoadModule(&table, i, &Control->Modules[i], &name);
        }
    }
    ExFreePool(table.Entries);
    return status;
}

NTSTATUS SaveModuleConfig(ControlExtension* Control)
{
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = 0; i < Control->ModuleCount; ++i) {
        const ModuleRecord& record = Control->Modules[i];
        CountedString path;
        FormModuleKeyPath(&path, i);
        status = WriteModuleValues(path, record);
        if (!NT_SUCCESS(status)) {
            // ModuleCount stays as it was, over partly rewritten modules.
            path.Release();
            return status;
        }
        ULONG channels = ChannelCountOf(record);
        for (ULONG j = 0; j < channels && NT_SUCCESS(status); ++j) {
            status = WriteChannelValues(path, record, j);
        }
        path.Release();
    }
    if (NT_SUCCESS(status)) {
        CountedString path;
        FormModuleInfoPath(&path);
        WriteDword(path, MODULE_COUNT_VALUE, Control->ModuleCount);
        path.Release();
    }
    return status;
}

NTSTATUS DeleteModuleConfig(ControlExtension* Control)
{
    CountedString path;
    FormModuleInfoPath(&path);
    DeleteValue(path, MODULE_COUNT_VALUE);
    path.Release();
    for (ULONG i = 0; i < Control->ModuleCount; ++i) {
        DeleteModuleValues(Control->Modules[i], i);
    }
    return STATUS_SUCCESS;
}
