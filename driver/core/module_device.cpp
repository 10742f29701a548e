#include "core/module_device.h"

#include "config/module_table.h"
#include "core/control_device.h"
#include "core/device_names.h"
#include "core/module_extension.h"
#include "core/module_lock.h"
#include "core/port_device.h"
#include "net/module_connection.h"
#include "port/port_extension.h"
#include "port/port_open.h"

namespace {

constexpr ULONG TCP_PORT_MASK = 0xFFFF;

void FillModuleDispatchTable(DISPATCH_TABLE* Table)
{
    Table->MajorFunction[IRP_MJ_CREATE] = ModuleCreate;
    Table->MajorFunction[IRP_MJ_CLOSE] = ModuleClose;
    Table->MajorFunction[IRP_MJ_DEVICE_CONTROL] = CompleteSuccess;
    Table->Teardown = NameTeardown;
}

void CopyModuleAddress(ModuleExtension* Module, const ModuleRecord& Record)
{
    RtlZeroMemory(Module->PortDevices, sizeof(Module->PortDevices));
    RtlZeroMemory(Module->SerialNum, sizeof(Module->SerialNum));
    Module->ModuleIP = Record.ModuleIP;
    Module->SerialCount = ChannelCountOf(Record);
    Module->ControlPort = Record.ControlPort;
    SetConnectionTarget(&Module->ControlConnection, Module->ModuleIP,
                        ByteSwap16(static_cast<USHORT>(Module->ControlPort & TCP_PORT_MASK)));
}

void CreateChannels(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT ModuleDevice,
                    const ModuleRecord& Record)
{
    ModuleExtension* module = ModuleExtensionOf(ModuleDevice);
    for (ULONG c = 0; c < module->SerialCount; ++c) {
        module->SerialNum[c] = Record.SerialNum[c];
        module->SerialPort[c] = Record.SerialPort[c];
        module->SerialParaFlag[c] = Record.SerialParaFlag[c];
        module->ChannelOpen[c] = 0;
        if (module->SerialNum[c] != 0) {
            CreatePortDevice(DriverObject, ModuleDevice, c);
        }
    }
}

}  // namespace

NTSTATUS CreateModuleDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT ControlDevice,
                            ULONG ModuleIndex)
{
    ControlExtension* control = ControlExtensionOf(ControlDevice);
    if (ModuleIndex >= MODULE_TABLE_SIZE) {
        return STATUS_INVALID_PARAMETER;
    }
    const ModuleRecord& record = control->Modules[ModuleIndex];

    CountedString deviceName;
    CountedString linkName;
    FormNumberedName(&deviceName, L"\\Device\\VZelSerial", ModuleIndex);
    FormNumberedName(&linkName, L"\\DosDevices\\ZelSerial", ModuleIndex);

    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = CreateNamedDevice(DriverObject, sizeof(ModuleExtension), deviceName,
                                        linkName, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (NT_SUCCESS(status)) {
        ModuleExtension* module = ModuleExtensionOf(device);
        if (!KeepNames(&module->DeviceName, &module->LinkName, deviceName, linkName)) {
            DeleteNamedDevice(device, linkName);
            status = STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    if (NT_SUCCESS(status)) {
        device->Flags |= DO_BUFFERED_IO;
        ModuleExtension* module = ModuleExtensionOf(device);
        FillModuleDispatchTable(&module->DispatchTable);
        control->ModuleDevices[ModuleIndex] = device;

        CopyModuleAddress(module, record);
        KeInitializeSpinLock(&module->ModuleLock);
        KeInitializeEvent(&module->ReplyEvent, SynchronizationEvent, FALSE);
        InitializeModuleLock(module);
        SetConnectionOwner(&module->ControlConnection, device);
        CreateChannels(DriverObject, device, record);
        device->Flags &= ~DO_DEVICE_INITIALIZING;
    }

    deviceName.Release();
    linkName.Release();
    return status;
}

bool AnyPortOpen(const ModuleExtension* Module)
{
    for (ULONG c = 0; c < Module->SerialCount; ++c) {
        PDEVICE_OBJECT port = Module->PortDevices[c];
        if (port != nullptr && PortExtensionOf(port)->IsOpen) {
            return true;
        }
    }
    return false;
}

namespace {

// Marks every port of the module Stopping, or none when one is open or has
// an open or close under way (port/port_open.h).
bool MarkPortsStopping(ModuleExtension* Module)
{
    for (ULONG c = 0; c < Module->SerialCount; ++c) {
        PDEVICE_OBJECT port = Module->PortDevices[c];
        if (port != nullptr && !MarkPortStopping(PortExtensionOf(port))) {
            while (c-- > 0) {
                if (Module->PortDevices[c] != nullptr) {
                    UnmarkPortStopping(PortExtensionOf(Module->PortDevices[c]));
                }
            }
            return false;
        }
    }
    return true;
}

}  // namespace

NTSTATUS StopModuleDevice(PDEVICE_OBJECT ModuleDevice)
{
    ModuleExtension* module = ModuleExtensionOf(ModuleDevice);
    if (!MarkPortsStopping(module)) {
        return STATUS_UNSUCCESSFUL;
    }

    NTSTATUS lastRelease = STATUS_SUCCESS;
    for (ULONG c = 0; c < module->SerialCount; ++c) {
        PDEVICE_OBJECT port = module->PortDevices[c];
        if (port == nullptr) {
            continue;
        }
        lastRelease = ReleasePortDevice(port);
        if (NT_SUCCESS(lastRelease)) {
            IoDeleteDevice(port);
            module->PortDevices[c] = nullptr;
        }
    }
    if (!NT_SUCCESS(lastRelease)) {
        return lastRelease;
    }

    DeleteLinkByName(module->LinkName);
    module->LinkName.Release();
    module->DeviceName.Release();
    return STATUS_SUCCESS;
}
