#include "config/module_table.h"

void ResetModuleTable(ControlExtension* Control)
{
    RtlZeroMemory(Control->Modules, sizeof(Control->Modules));
    RtlZeroMemory(Control->ModuleDevices, sizeof(Control->ModuleDevices));
}

void ClearModuleTable(ControlExtension* Control)
{
    Control->ModuleCount = 0;
    RtlZeroMemory(Control->Modules, sizeof(Control->Modules));
}

bool ModuleTableFull(const ControlExtension* Control)
{
    return Control->ModuleCount >= MODULE_TABLE_SIZE;
}

void AppendModuleRecord(ControlExtension* Control, const ModuleRecord& Record)
{
    RtlCopyMemory(&Control->Modules[Control->ModuleCount], &Record, sizeof(ModuleRecord));
    ++Control->ModuleCount;
}

ULONG ChannelCountOf(const ModuleRecord& Record)
{
    return Record.SerialCount < MODULE_CHANNEL_COUNT ? ULONG(Record.SerialCount)
                                                     : ULONG(MODULE_CHANNEL_COUNT);
}

bool IsModuleIPListed(const ControlExtension* Control, ULONG ModuleIP)
{
    for (ULONG i = 0; i < Control->ModuleCount; ++i) {
        if (Control->Modules[i].ModuleIP == ModuleIP) {
            return true;
        }
    }
    return false;
}

bool IsComNumberListed(const ControlExtension* Control, ULONG ComNumber)
{
    for (ULONG i = 0; i < Control->ModuleCount; ++i) {
        const ModuleRecord& record = Control->Modules[i];
        for (ULONG c = 0; c < ChannelCountOf(record); ++c) {
            if (record.SerialNum[c] == ComNumber) {
                return true;
            }
        }
    }
    return false;
}

bool AnyModuleRunning(const ControlExtension* Control)
{
    // Every slot: a cleared table may still have running devices.
    for (PDEVICE_OBJECT device : Control->ModuleDevices) {
        if (device != nullptr) {
            return true;
        }
    }
    return false;
}
