// The port's device-control handler: the standard serial I/O controls (and
// four serial-enumerator ones). Most settings are only stored and handed
// back; baud rate, framing and RTS also reach the module as frames. The
// wait-on-mask controls are in port/serial_wait.h.
#pragma once

#include "core/nt.h"

#include <ntddser.h>

#ifndef IOCTL_SERIAL_GET_COMMCONFIG
#define IOCTL_SERIAL_GET_COMMCONFIG \
    CTL_CODE(FILE_DEVICE_SERIAL_PORT, 33, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif
#ifndef IOCTL_SERIAL_SET_COMMCONFIG
#define IOCTL_SERIAL_SET_COMMCONFIG \
    CTL_CODE(FILE_DEVICE_SERIAL_PORT, 34, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif

#ifndef FILE_DEVICE_SERENUM
#define FILE_DEVICE_SERENUM 0x00000037
#endif
#ifndef IOCTL_SERENUM_EXPOSE_HARDWARE
#define IOCTL_SERENUM_EXPOSE_HARDWARE \
    CTL_CODE(FILE_DEVICE_SERENUM, 128, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif
#ifndef IOCTL_SERENUM_REMOVE_HARDWARE
#define IOCTL_SERENUM_REMOVE_HARDWARE \
    CTL_CODE(FILE_DEVICE_SERENUM, 129, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif
#ifndef IOCTL_SERENUM_PORT_DESC
#define IOCTL_SERENUM_PORT_DESC CTL_CODE(FILE_DEVICE_SERENUM, 130, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif
#ifndef IOCTL_SERENUM_GET_PORT_NAME
#define IOCTL_SERENUM_GET_PORT_NAME \
    CTL_CODE(FILE_DEVICE_SERENUM, 131, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif

#ifndef SERIAL_MSR_CTS
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

// The IRP_MJ_DEVICE_CONTROL handler. Completes every request except a
// wait-on-mask that it leaves pending.
NTSTATUS NTAPI PortDeviceControl(PDEVICE_OBJECT PortDevice, PIRP Irp);
