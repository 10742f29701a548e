#include "dcb_translation.h"

namespace zelwin32 {
namespace {

// A SERIAL_STATUS error bit and the CE_* flag it becomes.
struct ErrorBit {
    DWORD Serial;
    DWORD Comm;
};

constexpr ErrorBit kErrorBits[] = {
    {kSerialErrorBreak, CE_BREAK},     {kSerialErrorFraming, CE_FRAME},
    {kSerialErrorOverrun, CE_OVERRUN}, {kSerialErrorQueueOverrun, CE_RXOVER},
    {kSerialErrorParity, CE_RXPARITY},
};

constexpr DWORD Bit(bool set, DWORD mask)
{
    return set ? mask : 0;
}
constexpr bool Has(DWORD value, DWORD mask)
{
    return (value & mask) == mask;
}

DWORD ControlHandShake(const DCB& dcb)
{
    DWORD bits = 0;
    if (dcb.fDtrControl == DTR_CONTROL_ENABLE)
        bits |= kSerialDtrControl;
    if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE)
        bits |= kSerialDtrHandshake;
    bits |= Bit(dcb.fOutxCtsFlow, kSerialCtsHandshake);
    bits |= Bit(dcb.fOutxDsrFlow, kSerialDsrHandshake);
    bits |= Bit(dcb.fDsrSensitivity, kSerialDsrSensitivity);
    bits |= Bit(dcb.fAbortOnError, kSerialErrorAbort);
    return bits;
}

DWORD FlowReplace(const DCB& dcb)
{
    DWORD bits = 0;
    switch (dcb.fRtsControl) {
    case RTS_CONTROL_ENABLE:
        bits |= kSerialRtsControl;
        break;
    case RTS_CONTROL_HANDSHAKE:
        bits |= kSerialRtsHandshake;
        break;
    case RTS_CONTROL_TOGGLE:
        bits |= kSerialTransmitToggle;
        break;
    default:
        break;
    }
    bits |= Bit(dcb.fOutX, kSerialAutoTransmit);
    bits |= Bit(dcb.fInX, kSerialAutoReceive);
    bits |= Bit(dcb.fErrorChar, kSerialErrorChar);
    bits |= Bit(dcb.fNull, kSerialNullStripping);
    bits |= Bit(dcb.fTXContinueOnXoff, kSerialXoffContinue);
    return bits;
}

DWORD DtrControl(DWORD controlHandShake)
{
    if (Has(controlHandShake, kSerialDtrHandshake))
        return DTR_CONTROL_HANDSHAKE;
    if (Has(controlHandShake, kSerialDtrControl))
        return DTR_CONTROL_ENABLE;
    return DTR_CONTROL_DISABLE;
}

DWORD RtsControl(DWORD flowReplace)
{
    switch (flowReplace & kSerialRtsMask) {
    case kSerialRtsControl:
        return RTS_CONTROL_ENABLE;
    case kSerialRtsHandshake:
        return RTS_CONTROL_HANDSHAKE;
    case kSerialTransmitToggle:
        return RTS_CONTROL_TOGGLE;
    default:
        return RTS_CONTROL_DISABLE;
    }
}

void SetFlags(DCB& dcb, const SerialHandflow& handflow)
{
    const DWORD control = handflow.ControlHandShake;
    const DWORD flow = handflow.FlowReplace;
    dcb.fDtrControl = DtrControl(control);
    dcb.fOutxCtsFlow = Has(control, kSerialCtsHandshake);
    dcb.fOutxDsrFlow = Has(control, kSerialDsrHandshake);
    dcb.fDsrSensitivity = Has(control, kSerialDsrSensitivity);
    dcb.fAbortOnError = Has(control, kSerialErrorAbort);
    dcb.fRtsControl = RtsControl(flow);
    dcb.fOutX = Has(flow, kSerialAutoTransmit);
    dcb.fInX = Has(flow, kSerialAutoReceive);
    dcb.fErrorChar = Has(flow, kSerialErrorChar);
    dcb.fNull = Has(flow, kSerialNullStripping);
    dcb.fTXContinueOnXoff = Has(flow, kSerialXoffContinue);
}

}  // namespace

SerialSettings SettingsFromDcb(const DCB& dcb, BYTE breakChar)
{
    SerialSettings settings;
    settings.Baud.BaudRate = dcb.BaudRate;
    settings.Line.StopBits = dcb.StopBits;
    settings.Line.Parity = dcb.Parity;
    settings.Line.WordLength = dcb.ByteSize;
    settings.Chars.EofChar = static_cast<BYTE>(dcb.EofChar);
    settings.Chars.ErrorChar = static_cast<BYTE>(dcb.ErrorChar);
    settings.Chars.BreakChar = breakChar;
    settings.Chars.EventChar = static_cast<BYTE>(dcb.EvtChar);
    settings.Chars.XonChar = static_cast<BYTE>(dcb.XonChar);
    settings.Chars.XoffChar = static_cast<BYTE>(dcb.XoffChar);
    settings.Handflow.ControlHandShake = ControlHandShake(dcb);
    settings.Handflow.FlowReplace = FlowReplace(dcb);
    settings.Handflow.XonLimit = dcb.XonLim;
    settings.Handflow.XoffLimit = dcb.XoffLim;
    return settings;
}

DCB DcbFromSettings(const SerialSettings& settings)
{
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = settings.Baud.BaudRate;
    // Windows supports binary mode only; parity checking follows the parity.
    dcb.fBinary = TRUE;
    dcb.fParity = settings.Line.Parity != NOPARITY;
    SetFlags(dcb, settings.Handflow);
    dcb.XonLim = static_cast<WORD>(settings.Handflow.XonLimit);
    dcb.XoffLim = static_cast<WORD>(settings.Handflow.XoffLimit);
    dcb.ByteSize = settings.Line.WordLength;
    dcb.Parity = settings.Line.Parity;
    dcb.StopBits = settings.Line.StopBits;
    dcb.XonChar = static_cast<char>(settings.Chars.XonChar);
    dcb.XoffChar = static_cast<char>(settings.Chars.XoffChar);
    dcb.ErrorChar = static_cast<char>(settings.Chars.ErrorChar);
    dcb.EofChar = static_cast<char>(settings.Chars.EofChar);
    dcb.EvtChar = static_cast<char>(settings.Chars.EventChar);
    return dcb;
}

DWORD CommErrorsFromStatus(const SerialStatus& status)
{
    DWORD errors = 0;
    for (const auto& bit : kErrorBits) {
        errors |= Bit(Has(status.Errors, bit.Serial), bit.Comm);
    }
    return errors;
}

COMSTAT ComStatFromStatus(const SerialStatus& status)
{
    const DWORD hold = status.HoldReasons;
    COMSTAT stat{};
    stat.fCtsHold = Has(hold, kSerialTxWaitingForCts);
    stat.fDsrHold = Has(hold, kSerialTxWaitingForDsr);
    stat.fRlsdHold = Has(hold, kSerialTxWaitingForDcd);
    stat.fXoffHold = Has(hold, kSerialTxWaitingForXon);
    stat.fXoffSent = Has(hold, kSerialTxWaitingXoffSent);
    stat.fEof = status.EofReceived != 0;
    stat.fTxim = status.WaitForImmediate != 0;
    stat.cbInQue = status.AmountInInQueue;
    stat.cbOutQue = status.AmountInOutQueue;
    return stat;
}

}  // namespace zelwin32
