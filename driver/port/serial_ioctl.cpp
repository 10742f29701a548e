#include "port/serial_ioctl.h"

#include "core/dispatch_table.h"
#include "net/connection.h"
#include "net/module_control.h"
#include "port/port_extension.h"
#include "port/port_read.h"
#include "port/serial_wait.h"

namespace {

constexpr ULONG DEFAULT_BAUD_RATE = 9600;
// The word lengths a UART can frame.
constexpr UCHAR FEWEST_DATA_BITS = 5;
constexpr UCHAR MOST_DATA_BITS = 8;
// Handflow limits beyond this are ignored rather than refused.
constexpr LONG LARGEST_FLOW_LIMIT = 2048;
// The port has no configuration data of its own.
constexpr ULONG NO_CONFIG_DATA = 0;

bool AllReadTimeoutsInfinite(const SERIAL_TIMEOUTS& Timeouts)
{
    return Timeouts.ReadIntervalTimeout == MAXULONG &&
           Timeouts.ReadTotalTimeoutMultiplier == MAXULONG &&
           Timeouts.ReadTotalTimeoutConstant == MAXULONG;
}

bool FlowLimitInRange(LONG Limit)
{
    return Limit >= 0 && Limit <= LARGEST_FLOW_LIMIT;
}

bool HandFlowInvalid(const SERIAL_HANDFLOW& HandFlow)
{
    return (HandFlow.ControlHandShake & SERIAL_CONTROL_INVALID) != 0 ||
           (HandFlow.FlowReplace & SERIAL_FLOW_INVALID) != 0 ||
           (HandFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_MASK;
}

// What the serial driver refuses is refused here too, before it is stored
// or reaches the module, which has no way to say no.
bool LineControlValid(const SERIAL_LINE_CONTROL& LineControl)
{
    return LineControl.WordLength >= FEWEST_DATA_BITS && LineControl.WordLength <= MOST_DATA_BITS &&
           LineControl.Parity <= SPACE_PARITY && LineControl.StopBits <= STOP_BITS_2;
}

NTSTATUS SetBaudRate(PortExtension* Port, SerialRequest* Request)
{
    const ULONG baudRate = *SerialBufferAs<ULONG>(Request);
    if (baudRate == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    // Stored whether or not it is sent: replayed after a reconnect.
    Port->BaudRate = baudRate;
    return SendsLineSettings(Port) ? SendPortFrame(Port, LineFrame::BaudRate) : STATUS_SUCCESS;
}

NTSTATUS GetBaudRate(PortExtension* Port, SerialRequest* Request)
{
    KIRQL irql;
    KeAcquireSpinLock(&Port->PortLock, &irql);
    if (Port->BaudRate == 0) {
        Port->BaudRate = DEFAULT_BAUD_RATE;
    }
    const ULONG baudRate = Port->BaudRate;
    KeReleaseSpinLock(&Port->PortLock, irql);
    return ReturnSerialValue(Request, baudRate);
}

NTSTATUS SetLineControl(PortExtension* Port, SerialRequest* Request)
{
    const SERIAL_LINE_CONTROL& lineControl = *SerialBufferAs<SERIAL_LINE_CONTROL>(Request);
    if (!LineControlValid(lineControl)) {
        return STATUS_INVALID_PARAMETER;
    }
    Port->LineControl = lineControl;
    return SendsLineSettings(Port) ? SendPortFrame(Port, LineFrame::Framing) : STATUS_SUCCESS;
}

NTSTATUS GetLineControl(PortExtension* Port, SerialRequest* Request)
{
    return ReturnGuardedSerialValue(Request, &Port->PortLock, Port->LineControl);
}

// RTS goes to the module whatever SerialParaFlag says.
NTSTATUS SetRts(PortExtension* Port, SerialRequest* Request)
{
    UNREFERENCED_PARAMETER(Request);
    Port->RtsLevel = RTS_LEVEL_ON;
    return SendPortFrame(Port, LineFrame::RtsOn);
}

NTSTATUS ClrRts(PortExtension* Port, SerialRequest* Request)
{
    UNREFERENCED_PARAMETER(Request);
    Port->RtsLevel = RTS_LEVEL_OFF;
    return SendPortFrame(Port, LineFrame::RtsOff);
}

NTSTATUS SetTimeouts(PortExtension* Port, SerialRequest* Request)
{
    const SERIAL_TIMEOUTS& timeouts = *SerialBufferAs<SERIAL_TIMEOUTS>(Request);
    if (AllReadTimeoutsInfinite(timeouts)) {
        return STATUS_INVALID_PARAMETER;
    }
    Port->Timeouts = timeouts;
    return STATUS_SUCCESS;
}

NTSTATUS GetTimeouts(PortExtension* Port, SerialRequest* Request)
{
    return ReturnSerialValue(Request, Port->Timeouts);
}

NTSTATUS SetHandFlow(PortExtension* Port, SerialRequest* Request)
{
    const SERIAL_HANDFLOW& handFlow = *SerialBufferAs<SERIAL_HANDFLOW>(Request);
    if (HandFlowInvalid(handFlow)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (FlowLimitInRange(handFlow.XonLimit) && FlowLimitInRange(handFlow.XoffLimit)) {
        Port->HandFlow = handFlow;
    }
    return STATUS_SUCCESS;
}

NTSTATUS GetHandFlow(PortExtension* Port, SerialRequest* Request)
{
    return ReturnSerialValue(Request, Port->HandFlow);
}

NTSTATUS SetChars(PortExtension* Port, SerialRequest* Request)
{
    Port->SpecialChars = *SerialBufferAs<SERIAL_CHARS>(Request);
    return STATUS_SUCCESS;
}

NTSTATUS GetChars(PortExtension* Port, SerialRequest* Request)
{
    return ReturnSerialValue(Request, Port->SpecialChars);
}

NTSTATUS GetConfigSize(PortExtension* Port, SerialRequest* Request)
{
    UNREFERENCED_PARAMETER(Port);
    return ReturnSerialValue(Request, NO_CONFIG_DATA);
}

// Every comm status query pauses this long before it answers.
constexpr ULONG COMM_STATUS_DELAY_MICROSECONDS = 100;

// With PortLock held. Drops what was received, the bytes the connection
// still holds unread included; true when those held the receive back, so
// the caller restarts it. What waits to go out is the write path's.
bool DiscardReceiveQueue(PortExtension* Port)
{
    const bool receiveHeldBack = Port->DataConnection.UnreadCount != 0;
    DiscardReceived(Port);
    return receiveHeldBack;
}

NTSTATUS GetModemStatus(PortExtension* Port, SerialRequest* Request)
{
    return ReturnSerialValue(Request, Port->ModemStatus);
}

NTSTATUS GetCommStatus(PortExtension* Port, SerialRequest* Request)
{
    DelayMicroseconds(COMM_STATUS_DELAY_MICROSECONDS);
    return ReturnGuardedSerialValue(Request, &Port->PortLock, Port->CommStatus);
}

NTSTATUS Purge(PortExtension* Port, SerialRequest* Request)
{
    const ULONG flags = *SerialBufferAs<ULONG>(Request);
    bool restartReceive = false;
    KIRQL irql;
    KeAcquireSpinLock(&Port->PortLock, &irql);
    if ((flags & SERIAL_PURGE_RXCLEAR) != 0) {
        restartReceive = DiscardReceiveQueue(Port);
    }
    // Whatever the flags, a waiting read ends.
    PIRP read = Port->PendingRead;
    Port->PendingRead = nullptr;
    KeReleaseSpinLock(&Port->PortLock, irql);

    if (read != nullptr) {
        CompleteRequest(read, STATUS_CANCELLED, 0);
    }
    if (restartReceive) {
        RestartReceive(Port);
    }
    // Reports the four bytes of its flags, but never more than the caller's
    // output buffer takes.
    Request->Information =
        Request->OutputLength < sizeof(ULONG) ? Request->OutputLength : sizeof(ULONG);
    return STATUS_SUCCESS;
}

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
};

// Accepted without effect; they return no data.
const ULONG IGNORED_CONTROLS[] = {
    IOCTL_SERIAL_SET_BREAK_ON,     IOCTL_SERIAL_SET_BREAK_OFF,     IOCTL_SERIAL_IMMEDIATE_CHAR,
    IOCTL_SERIAL_SET_DTR,          IOCTL_SERIAL_CLR_DTR,           IOCTL_SERIAL_RESET_DEVICE,
    IOCTL_SERIAL_SET_XOFF,         IOCTL_SERIAL_SET_XON,           IOCTL_SERIAL_XOFF_COUNTER,
    IOCTL_SERIAL_GET_PROPERTIES,   IOCTL_SERIAL_GET_DTRRTS,        IOCTL_SERIAL_LSRMST_INSERT,
    IOCTL_SERIAL_GET_COMMCONFIG,   IOCTL_SERIAL_SET_COMMCONFIG,    IOCTL_SERIAL_GET_STATS,
    IOCTL_SERIAL_CLEAR_STATS,      IOCTL_SERIAL_GET_MODEM_CONTROL, IOCTL_SERIAL_SET_MODEM_CONTROL,
    IOCTL_SERIAL_SET_FIFO_CONTROL, IOCTL_SERENUM_EXPOSE_HARDWARE,  IOCTL_SERENUM_REMOVE_HARDWARE,
    IOCTL_SERENUM_PORT_DESC,       IOCTL_SERENUM_GET_PORT_NAME,
};
const SerialControl IGNORED_CONTROL = {NONE, NONE, NONE, Ignore};

const SerialControl* FindSerialControl(ULONG Code)
{
    for (const SerialControl& control : SERIAL_CONTROLS) {
        if (control.Code == Code) {
            return &control;
        }
    }
    for (ULONG ignored : IGNORED_CONTROLS) {
        if (ignored == Code) {
            return &IGNORED_CONTROL;
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
