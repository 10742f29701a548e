#include "port/serial_ioctl.h"

#include "core/dispatch_table.h"
#include "port/port_extension.h"
#include "port/serial_codes.h"
#include "port/serial_settings.h"
#include "port/serial_status.h"
#include "port/serial_wait.h"

namespace {

// Returns nothing: for the controls that are accepted without effect.
NTSTATUS Ignore(PortExtension* Port, SerialRequest* Request)
{
    UNREFERENCED_PARAMETER(Port);
    UNREFERENCED_PARAMETER(Request);
    return STATUS_SUCCESS;
}

struct SerialControl {
    ULONG Code;
    ULONG MinimumInput;   // bytes
    ULONG MinimumOutput;  // bytes
    SERIAL_CONTROL_HANDLER Handler;
};

constexpr ULONG NONE = 0;
constexpr ULONG SERIAL_QUEUE_SIZE_BYTES = sizeof(SERIAL_QUEUE_SIZE);

static_assert(sizeof(SERIAL_LINE_CONTROL) == 3, "stop bits, parity, word length");
static_assert(sizeof(SERIAL_TIMEOUTS) == 20, "five 32-bit timeouts");
static_assert(sizeof(SERIAL_HANDFLOW) == 16, "four 32-bit fields");
static_assert(sizeof(SERIAL_CHARS) == 6, "six characters");
static_assert(sizeof(SERIAL_STATUS) == 20, "returned as 20 bytes");
static_assert(sizeof(SERIAL_QUEUE_SIZE) == 8, "two 32-bit sizes");

const SerialControl SERIAL_CONTROLS[] = {
    {IOCTL_SERIAL_SET_BAUD_RATE, sizeof(ULONG), NONE, SetBaudRate},
    {IOCTL_SERIAL_SET_QUEUE_SIZE, SERIAL_QUEUE_SIZE_BYTES, NONE, Ignore},
    {IOCTL_SERIAL_SET_LINE_CONTROL, sizeof(SERIAL_LINE_CONTROL), NONE, SetLineControl},
    {IOCTL_SERIAL_SET_TIMEOUTS, sizeof(SERIAL_TIMEOUTS), NONE, SetTimeouts},
    {IOCTL_SERIAL_GET_TIMEOUTS, NONE, sizeof(SERIAL_TIMEOUTS), GetTimeouts},
    {IOCTL_SERIAL_SET_RTS, NONE, NONE, SetRts},
    {IOCTL_SERIAL_CLR_RTS, NONE, NONE, ClrRts},
    {IOCTL_SERIAL_GET_WAIT_MASK, NONE, sizeof(ULONG), GetWaitMask},
    {IOCTL_SERIAL_SET_WAIT_MASK, sizeof(ULONG), NONE, SetWaitMask},
    {IOCTL_SERIAL_WAIT_ON_MASK, NONE, sizeof(ULONG), WaitOnMask},
    {IOCTL_SERIAL_PURGE, sizeof(ULONG), NONE, Purge},
    {IOCTL_SERIAL_GET_BAUD_RATE, NONE, sizeof(ULONG), GetBaudRate},
    {IOCTL_SERIAL_GET_LINE_CONTROL, NONE, sizeof(SERIAL_LINE_CONTROL), GetLineControl},
    {IOCTL_SERIAL_GET_CHARS, NONE, sizeof(SERIAL_CHARS), GetChars},
    {IOCTL_SERIAL_SET_CHARS, sizeof(SERIAL_CHARS), NONE, SetChars},
    {IOCTL_SERIAL_GET_HANDFLOW, NONE, sizeof(SERIAL_HANDFLOW), GetHandFlow},
    {IOCTL_SERIAL_SET_HANDFLOW, sizeof(SERIAL_HANDFLOW), NONE, SetHandFlow},
    {IOCTL_SERIAL_GET_MODEMSTATUS, NONE, sizeof(ULONG), GetModemStatus},
    {IOCTL_SERIAL_GET_COMMSTATUS, NONE, sizeof(SERIAL_STATUS), GetCommStatus},
    {IOCTL_SERIAL_CONFIG_SIZE, NONE, sizeof(ULONG), GetConfigSize},

    // Accepted without effect; they return no data.
    {IOCTL_SERIAL_SET_BREAK_ON, NONE, NONE, Ignore},
    {IOCTL_SERIAL_SET_BREAK_OFF, NONE, NONE, Ignore},
    {IOCTL_SERIAL_IMMEDIATE_CHAR, NONE, NONE, Ignore},
    {IOCTL_SERIAL_SET_DTR, NONE, NONE, Ignore},
    {IOCTL_SERIAL_CLR_DTR, NONE, NONE, Ignore},
    {IOCTL_SERIAL_RESET_DEVICE, NONE, NONE, Ignore},
    {IOCTL_SERIAL_SET_XOFF, NONE, NONE, Ignore},
    {IOCTL_SERIAL_SET_XON, NONE, NONE, Ignore},
    {IOCTL_SERIAL_XOFF_COUNTER, NONE, NONE, Ignore},
    {IOCTL_SERIAL_GET_PROPERTIES, NONE, NONE, Ignore},
    {IOCTL_SERIAL_GET_DTRRTS, NONE, NONE, Ignore},
    {IOCTL_SERIAL_LSRMST_INSERT, NONE, NONE, Ignore},
    {IOCTL_SERIAL_GET_COMMCONFIG, NONE, NONE, Ignore},
    {IOCTL_SERIAL_SET_COMMCONFIG, NONE, NONE, Ignore},
    {IOCTL_SERIAL_GET_STATS, NONE, NONE, Ignore},
    {IOCTL_SERIAL_CLEAR_STATS, NONE, NONE, Ignore},
    {IOCTL_SERIAL_GET_MODEM_CONTROL, NONE, NONE, Ignore},
    {IOCTL_SERIAL_SET_MODEM_CONTROL, NONE, NONE, Ignore},
    {IOCTL_SERIAL_SET_FIFO_CONTROL, NONE, NONE, Ignore},
    {IOCTL_SERENUM_EXPOSE_HARDWARE, NONE, NONE, Ignore},
    {IOCTL_SERENUM_REMOVE_HARDWARE, NONE, NONE, Ignore},
    {IOCTL_SERENUM_PORT_DESC, NONE, NONE, Ignore},
    {IOCTL_SERENUM_GET_PORT_NAME, NONE, NONE, Ignore},
};

const SerialControl* FindSerialControl(ULONG Code)
{
    for (const SerialControl& control : SERIAL_CONTROLS) {
        if (control.Code == Code) {
            return &control;
        }
    }
    return nullptr;
}

NTSTATUS Serve(PortExtension* Port, const SerialControl* Control, SerialRequest* Request)
{
    if (Control == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Request->InputLength < Control->MinimumInput ||
        Request->OutputLength < Control->MinimumOutput) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    return Control->Handler(Port, Request);
}

}  // namespace

NTSTATUS NTAPI PortDeviceControl(PDEVICE_OBJECT PortDevice, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    SerialRequest request = {};
    request.Irp = Irp;
    request.Buffer = Irp->AssociatedIrp.SystemBuffer;
    request.InputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    request.OutputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;

    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    NTSTATUS status = Serve(PortExtensionOf(PortDevice), FindSerialControl(code), &request);
    if (status == STATUS_PENDING) {
        return status;  // the wait's completers finish it
    }
    // A failed request returns nothing.
    return CompleteRequest(Irp, status, NT_SUCCESS(status) ? request.Information : 0);
}
