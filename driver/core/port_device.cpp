#include "core/port_device.h"

#include "core/device_names.h"
#include "core/module_extension.h"
#include "port/port_extension.h"
#include "port/port_open.h"
#include "port/port_read.h"
#include "port/port_write.h"
#include "port/serial_ioctl.h"

namespace {

constexpr ULONG TCP_PORT_MASK = 0xFFFF;
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
        RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, SERIAL_DEVICE_MAP_KEY, Port->DeviceName.Buffer,
                              REG_SZ, comName.Buffer, comName.Length);
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
// the memory under a DPC that is already running. PASSIVE_LEVEL.
void StopReadTimer(PortExtension* Port)
{
    KeCancelTimer(&Port->ReadTimer);
    KeRemoveQueueDpc(&Port->ReadDpc);
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
    NTSTATUS status = CreateNamedDevice(DriverObject, sizeof(PortExtension), deviceName, linkName,
                                        FILE_DEVICE_SERIAL_PORT, FILE_DEVICE_SECURE_OPEN, TRUE,
                                        &device);
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

    if (KeepNames(&port->DeviceName, &port->LinkName, deviceName, linkName)) {
        port->RxBuffer = static_cast<PUCHAR>(ExAllocatePool(NonPagedPool, PORT_RX_BUFFER_SIZE));
    }
    if (port->RxBuffer == nullptr) {
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
    InitializeWriteLock(port);

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
    FreeRxBuffer(port);
    return STATUS_SUCCESS;
}
