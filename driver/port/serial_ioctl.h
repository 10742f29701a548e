// The port's device-control handler: the standard serial I/O controls (and
// four serial-enumerator ones). Most settings are only stored and handed
// back; baud rate, framing and RTS also reach the module as frames. The
// wait-on-mask controls are in port/serial_wait.h.
#pragma once

#include "core/nt.h"

#include <ntddser.h>

// Controls and a modem-status bit that not every kit's ntddser.h carries
// (mingw-w64's lacks all five).
#ifndef IOCTL_SERIAL_GET_COMMCONFIG
#define ZEL_BUFFERED_IOCTL(DeviceType, Function) \
    CTL_CODE(DeviceType, Function, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_GET_COMMCONFIG ZEL_BUFFERED_IOCTL(FILE_DEVICE_SERIAL_PORT, 33)
#define IOCTL_SERIAL_SET_COMMCONFIG ZEL_BUFFERED_IOCTL(FILE_DEVICE_SERIAL_PORT, 34)
#define IOCTL_SERENUM_EXPOSE_HARDWARE ZEL_BUFFERED_IOCTL(FILE_DEVICE_SERENUM, 128)
#define IOCTL_SERENUM_REMOVE_HARDWARE ZEL_BUFFERED_IOCTL(FILE_DEVICE_SERENUM, 129)
#define SERIAL_MSR_CTS 0x10
#endif

struct PortExtension;

struct SerialRequest {
    PIRP Irp;
    PVOID Buffer;
    ULONG InputLength;
    ULONG OutputLength;
    ULONG_PTR Information;  // bytes returned when the handler completes it
};

// Returns the request's status; the dispatcher completes the request with
// it and Information, unless it is STATUS_PENDING.
typedef NTSTATUS (*SERIAL_CONTROL_HANDLER)(PortExtension* Port, SerialRequest* Request);

template <typename T>
T* SerialBufferAs(SerialRequest* Request)
{
    return static_cast<T*>(Request->Buffer);
}

// Returns Value in the output buffer.
template <typename T>
NTSTATUS ReturnSerialValue(SerialRequest* Request, const T& Value)
{
    *SerialBufferAs<T>(Request) = Value;
    Request->Information = sizeof(T);
    return STATUS_SUCCESS;
}

// Returns a copy of Setting taken under Lock, the lock that guards it.
template <typename T>
NTSTATUS ReturnGuardedSerialValue(SerialRequest* Request, PKSPIN_LOCK Lock, const T& Setting)
{
    KIRQL irql;
    KeAcquireSpinLock(Lock, &irql);
    const T copy = Setting;
    KeReleaseSpinLock(Lock, irql);
    return ReturnSerialValue(Request, copy);
}

// The IRP_MJ_DEVICE_CONTROL handler. Completes every request except a
// wait-on-mask that it leaves pending.
NTSTATUS NTAPI PortDeviceControl(PDEVICE_OBJECT PortDevice, PIRP Irp);
