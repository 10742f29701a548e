#include "port/serial_settings.h"

#include "port/port_extension.h"
#include "port/serial_frames.h"

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

}  // namespace

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
    KIRQL irql;
    KeAcquireSpinLock(&Port->PortLock, &irql);
    const SERIAL_LINE_CONTROL lineControl = Port->LineControl;
    KeReleaseSpinLock(&Port->PortLock, irql);
    return ReturnSerialValue(Request, lineControl);
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
