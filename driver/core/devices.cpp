#include "config/control_ioctl.h"
#include "config/module_table.h"
#include "core/control_device.h"
#include "core/module_extension.h"
#include "net/connection.h"
#include "port/port_extension.h"
#include "port/port_open.h"
#include "port/port_read.h"
#include "port/port_reconnect.h"
#include "port/port_write.h"
#include "port/serial_ioctl.h"

void FormNumberedName(CountedString* Name, PCWSTR Prefix, ULONG Number)
{
    CountedString digits;
    digits.InitFromInteger(Number);
    Name->InitFromLiteral(Prefix);
    if (digits.IsEmpty()) {
        Name->Release();
        return;
    }
    Name->Append(digits);
    digits.Release();
}

NTSTATUS CreateNamedDevice(PDRIVER_OBJECT DriverObject, ULONG ExtensionSize,
                           const CountedString& DeviceName, const CountedString& LinkName,
                           DEVICE_TYPE DeviceType, ULONG Characteristics, BOOLEAN Exclusive,
                           PDEVICE_OBJECT* Device)
{
    *Device = nullptr;
    if (DeviceName.IsEmpty() || LinkName.IsEmpty()) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    UNICODE_STRING deviceName = DeviceName.AsUnicodeString();
    UNICODE_STRING linkName = LinkName.AsUnicodeString();

    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(DriverObject, ExtensionSize, &deviceName, DeviceType,
                                     Characteristics, Exclusive, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = IoCreateSymbolicLink(&linkName, &deviceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    *Device = device;
    return STATUS_SUCCESS;
}

void DeleteNamedDevice(PDEVICE_OBJECT Device, const CountedString& LinkName)
{
    DeleteLinkByName(LinkName);
    IoDeleteDevice(Device);
}

bool KeepName(CountedString* Field, const CountedString& Name)
{
    CountedString copy = Field->Assign(Name);
    copy.Release();
    return !Field->IsEmpty();
}

bool KeepNames(CountedString* DeviceField, CountedString* LinkField,
               const CountedString& DeviceName, const CountedString& LinkName)
{
    if (KeepName(DeviceField, DeviceName) && KeepName(LinkField, LinkName)) {
        return true;
    }
    DeviceField->Release();
    LinkField->Release();
    return false;
}

NTSTATUS DeleteLinkByName(const CountedString& LinkName)
{
    if (LinkName.IsEmpty()) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    UNICODE_STRING link = LinkName.AsUnicodeString();
    return IoDeleteSymbolicLink(&link);
}

NTSTATUS NameTeardown(PDEVICE_OBJECT DeviceObject)
{
    auto* header = static_cast<NAMED_DEVICE_HEADER*>(DeviceObject->DeviceExtension);
    DeleteLinkByName(header->LinkName);
    header->LinkName.Release();
    header->DeviceName.Release();
    return STATUS_SUCCESS;
}

namespace {

void FillControlDispatchTable(DISPATCH_TABLE* Table)
{
    Table->MajorFunction[IRP_MJ_CREATE] = CompleteSuccess;
    Table->MajorFunction[IRP_MJ_CLOSE] = CompleteSuccess;
    Table->MajorFunction[IRP_MJ_DEVICE_CONTROL] = ControlDeviceControl;
    Table->Teardown = NameTeardown;
}

}  // namespace

NTSTATUS CreateControlDevice(PDRIVER_OBJECT DriverObject, const CountedString& DeviceName,
                             const CountedString& LinkName, PDEVICE_OBJECT* ControlDevice)
{
    *ControlDevice = nullptr;
    if (DeviceName.IsEmpty() || LinkName.IsEmpty()) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    UNICODE_STRING deviceName = DeviceName.AsUnicodeString();
    UNICODE_STRING linkName = LinkName.AsUnicodeString();

    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(ControlExtension), &deviceName,
                                     FILE_DEVICE_UNKNOWN, 0, TRUE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = IoCreateSymbolicLink(&linkName, &deviceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        DbgPrint("MAIN Create Error\n");
        return status;
    }
    device->Flags |= DO_BUFFERED_IO;

    // The unload deletes the link by the name kept here: without it the link
    // would outlive the driver.
    ControlExtension* extension = ControlExtensionOf(device);
    if (!KeepNames(&extension->DeviceName, &extension->LinkName, DeviceName, LinkName)) {
        DeleteNamedDevice(device, LinkName);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    FillControlDispatchTable(&extension->DispatchTable);
    extension->DriverObject = DriverObject;

    device->Flags &= ~DO_DEVICE_INITIALIZING;
    *ControlDevice = device;
    return STATUS_SUCCESS;
}

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

// A port whose name is taken is simply absent; one that could not be made
// for want of resources makes the start fail, though the other ports are
// made all the same.
NTSTATUS CreateChannels(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT ModuleDevice,
                        const ModuleRecord& Record)
{
    ModuleExtension* module = ModuleExtensionOf(ModuleDevice);
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG c = 0; c < module->SerialCount; ++c) {
        module->SerialNum[c] = Record.SerialNum[c];
        module->SerialPort[c] = Record.SerialPort[c];
        module->SerialParaFlag[c] = Record.SerialParaFlag[c];
        module->ChannelOpen[c] = 0;
        if (module->SerialNum[c] != 0) {
            if (CreatePortDevice(DriverObject, ModuleDevice, c) == STATUS_INSUFFICIENT_RESOURCES) {
                status = STATUS_INSUFFICIENT_RESOURCES;
            }
        }
    }
    return status;
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
    NTSTATUS status = CreateNamedDevice(DriverObject, sizeof(ModuleExtension), deviceName, linkName,
                                        FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
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
        KeInitializeEvent(&module->ReplyEvent, SynchronizationEvent, FALSE);
        InitializeModuleLock(module);
        SetConnectionOwner(&module->ControlConnection, device);
        status = CreateChannels(DriverObject, device, record);
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

namespace {

constexpr ULONG DEFAULT_BAUD_RATE = 9600;
constexpr UCHAR DEFAULT_WORD_LENGTH = 8;
// Milliseconds: reads return after a long gap, writes give up after long.
constexpr ULONG DEFAULT_READ_INTERVAL_TIMEOUT = 10000000;
constexpr ULONG DEFAULT_WRITE_TOTAL_TIMEOUT_CONSTANT = 10000000;

PCWSTR const SERIAL_DEVICE_MAP_KEY = L"SERIALCOMM";

void FillPortDispatchTable(DISPATCH_TABLE* Table)
{
    Table->MajorFunction[IRP_MJ_CREATE] = PortCreate;
    Table->MajorFunction[IRP_MJ_CLOSE] = PortClose;
    Table->MajorFunction[IRP_MJ_CLEANUP] = PortCleanup;
    Table->MajorFunction[IRP_MJ_READ] = PortRead;
    Table->MajorFunction[IRP_MJ_WRITE] = PortWrite;
    Table->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = CompleteSuccess;
    Table->MajorFunction[IRP_MJ_DEVICE_CONTROL] = PortDeviceControl;
    Table->Teardown = PortTeardown;
}

void SetLineDefaults(PortExtension* Port)
{
    Port->BaudRate = DEFAULT_BAUD_RATE;
    Port->RtsLevel = RTS_LEVEL_ON;
    RtlZeroMemory(&Port->CommStatus, sizeof(Port->CommStatus));
    // 8N1: a port reports framing a UART can have, so a program that reads
    // the line settings and writes them back is not refused.
    Port->LineControl.WordLength = DEFAULT_WORD_LENGTH;
    Port->LineControl.Parity = NO_PARITY;
    Port->LineControl.StopBits = STOP_BIT_1;
    RtlZeroMemory(&Port->HandFlow, sizeof(Port->HandFlow));
    Port->Timeouts.ReadIntervalTimeout = DEFAULT_READ_INTERVAL_TIMEOUT;
    Port->Timeouts.ReadTotalTimeoutMultiplier = 0;
    Port->Timeouts.ReadTotalTimeoutConstant = 0;
    Port->Timeouts.WriteTotalTimeoutMultiplier = 0;
    Port->Timeouts.WriteTotalTimeoutConstant = DEFAULT_WRITE_TOTAL_TIMEOUT_CONSTANT;
}

// Announces the port in the system's serial-port map: \Device\VSer<n> = "COM<n>".
void WriteSerialCommValue(const PortExtension* Port)
{
    CountedString comName;
    FormNumberedName(&comName, L"COM", Port->ComNumber);
    if (!Port->DeviceName.IsEmpty() && !comName.IsEmpty()) {
        RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, SERIAL_DEVICE_MAP_KEY,
                              Port->DeviceName.Buffer, REG_SZ, comName.Buffer, comName.Length);
    }
    comName.Release();
}

void DeleteSerialCommValue(const PortExtension* Port)
{
    if (!Port->DeviceName.IsEmpty()) {
        RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, SERIAL_DEVICE_MAP_KEY,
                               Port->DeviceName.Buffer);
    }
}

void FreeRxBuffer(PortExtension* Port)
{
    if (Port->RxBuffer != nullptr) {
        ExFreePool(Port->RxBuffer);
        Port->RxBuffer = nullptr;
        Port->RxCount = 0;
    }
}

// The read timer is left running when data completes its read; a port that
// goes away must not leave it (or its DPC) queued on freed memory, nor free
// the memory under a DPC that is already running. Once the timer is
// cancelled the flush lets a DPC it queued run out: on a port nobody has
// open it finds no read to end. PASSIVE_LEVEL.
void StopReadTimer(PortExtension* Port)
{
    KeCancelTimer(&Port->ReadTimer);
    KeFlushQueuedDpcs();
}

void RemovePortNames(PortExtension* Port)
{
    DeleteSerialCommValue(Port);
    DeleteLinkByName(Port->LinkName);
    Port->LinkName.Release();
    Port->DeviceName.Release();
}

}  // namespace

NTSTATUS CreatePortDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT ModuleDevice,
                          ULONG ChannelIndex)
{
    ModuleExtension* module = ModuleExtensionOf(ModuleDevice);
    ULONG comNumber = module->SerialNum[ChannelIndex];

    CountedString deviceName;
    CountedString linkName;
    FormNumberedName(&deviceName, L"\\Device\\VSer", comNumber);
    FormNumberedName(&linkName, L"\\DosDevices\\COM", comNumber);

    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status =
        CreateNamedDevice(DriverObject, sizeof(PortExtension), deviceName, linkName,
                          FILE_DEVICE_SERIAL_PORT, FILE_DEVICE_SECURE_OPEN, TRUE, &device);
    if (!NT_SUCCESS(status)) {
        deviceName.Release();
        linkName.Release();
        return status;
    }
    device->Flags |= DO_BUFFERED_IO;
    PortExtension* port = PortExtensionOf(device);
    RtlZeroMemory(port, sizeof(*port));
    FillPortDispatchTable(&port->DispatchTable);
    port->ChannelIndex = ChannelIndex;
    port->ComNumber = comNumber;

    if (KeepNames(&port->DeviceName, &port->LinkName, deviceName, linkName) &&
        NT_SUCCESS(InitializeReconnect(port, device))) {
        port->RxBuffer = static_cast<PUCHAR>(ExAllocatePool(NonPagedPool, PORT_RX_BUFFER_SIZE));
    }
    if (port->RxBuffer == nullptr) {
        FreeReconnect(port);
        port->LinkName.Release();
        port->DeviceName.Release();
        DeleteNamedDevice(device, linkName);
        deviceName.Release();
        linkName.Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    port->RxCount = 0;
    port->ModuleDevice = ModuleDevice;
    SetConnectionTarget(
        &port->DataConnection, module->ModuleIP,
        ByteSwap16(static_cast<USHORT>(module->SerialPort[ChannelIndex] & TCP_PORT_MASK)));
    SetConnectionOwner(&port->DataConnection, device);
    SetLineDefaults(port);
    WriteSerialCommValue(port);

    KeInitializeDpc(&port->ReadDpc, ReadTimeoutDpc, device);
    KeInitializeTimer(&port->ReadTimer);
    KeInitializeSpinLock(&port->PortLock);
    InitializeWaitLock(&port->WriteLock);

    module->PortDevices[ChannelIndex] = device;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    deviceName.Release();
    linkName.Release();
    return STATUS_SUCCESS;
}

NTSTATUS ReleasePortDevice(PDEVICE_OBJECT PortDevice)
{
    PortExtension* port = PortExtensionOf(PortDevice);
    if (port->IsOpen) {
        return STATUS_UNSUCCESSFUL;
    }
    return PortTeardown(PortDevice);
}

NTSTATUS PortTeardown(PDEVICE_OBJECT PortDevice)
{
    PortExtension* port = PortExtensionOf(PortDevice);
    RemovePortNames(port);
    StopReadTimer(port);
    StopReconnecting(port);
    FreeReconnect(port);
    FreeRxBuffer(port);
    return STATUS_SUCCESS;
}

void InitializeModuleLock(ModuleExtension* Module)
{
    InitializeWaitLock(&Module->ModuleLock);
}

void AcquireModuleLock(ModuleExtension* Module)
{
    AcquireWaitLock(&Module->ModuleLock);
}

void ReleaseModuleLock(ModuleExtension* Module)
{
    ReleaseWaitLock(&Module->ModuleLock);
}

NTSTATUS CallModuleHandlerLocked(UCHAR MajorFunction, PDRIVER_DISPATCH Handler,
                                 PDEVICE_OBJECT ModuleDevice, PIRP Irp)
{
    ModuleExtension* module = ModuleExtensionOf(ModuleDevice);
    AcquireModuleLock(module);
    NTSTATUS status = Handler(ModuleDevice, Irp);
    PDRIVER_DISPATCH close = module->DispatchTable.MajorFunction[IRP_MJ_CLOSE];
    if (MajorFunction == IRP_MJ_CREATE && !NT_SUCCESS(status) && close != nullptr) {
        close(ModuleDevice, Irp);
    }
    ReleaseModuleLock(module);
    return status;
}
