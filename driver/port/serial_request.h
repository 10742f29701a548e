// One serial I/O control as its handler sees it. The port uses buffered
// I/O: input and output share the request's system buffer.
#pragma once

#include "core/nt.h"

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
