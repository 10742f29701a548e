#include "comm_port.h"

#include "dcb_translation.h"
#include "last_error.h"
#include "serial_ioctl.h"

namespace zelwin32 {
namespace {

struct EscapeCode {
    DWORD Function;
    DWORD Code;
};

constexpr EscapeCode kEscapeCodes[] = {
    {SETXOFF, kIoctlSetXoff},      {SETXON, kIoctlSetXon},       {SETRTS, kIoctlSetRts},
    {CLRRTS, kIoctlClrRts},        {SETDTR, kIoctlSetDtr},       {CLRDTR, kIoctlClrDtr},
    {RESETDEV, kIoctlResetDevice}, {SETBREAK, kIoctlSetBreakOn}, {CLRBREAK, kIoctlSetBreakOff},
};

}  // namespace

BOOL CommPort::Control(DWORD code, const void* input, DWORD inputLength, void* output,
                       DWORD outputLength) const
{
    DWORD returned = 0;
    return ioControl_(handle_, code, const_cast<void*>(input), inputLength, output, outputLength,
                      &returned, nullptr);
}

BOOL CommPort::ReadSettings(SerialSettings* settings) const
{
    return Get(kIoctlGetBaudRate, &settings->Baud) && Get(kIoctlGetLineControl, &settings->Line) &&
           Get(kIoctlGetChars, &settings->Chars) && Get(kIoctlGetHandflow, &settings->Handflow);
}

BOOL CommPort::GetState(LPDCB dcb) const
{
    if (dcb == nullptr)
        return FailWith(ERROR_INVALID_PARAMETER);
    SerialSettings settings;
    if (!ReadSettings(&settings))
        return FALSE;
    *dcb = DcbFromSettings(settings);
    return TRUE;
}

// Reads the current settings first, for the break character the DCB lacks
// and to put everything back when the device refuses part of the new state.
BOOL CommPort::SetState(const DCB* dcb) const
{
    if (dcb == nullptr)
        return FailWith(ERROR_INVALID_PARAMETER);
    SerialSettings saved;
    if (!ReadSettings(&saved))
        return FALSE;
    const BYTE breakChar = saved.Chars.BreakChar;
    if (ApplyState(*dcb, breakChar))
        return TRUE;
    const DWORD error = GetLastError();
    ApplyState(DcbFromSettings(saved), breakChar);
    return FailWith(error);
}

BOOL CommPort::ApplyState(const DCB& dcb, BYTE breakChar) const
{
    const SerialSettings settings = SettingsFromDcb(dcb, breakChar);
    return Set(kIoctlSetBaudRate, settings.Baud) && SetModemLines(dcb) &&
           Set(kIoctlSetLineControl, settings.Line) && Set(kIoctlSetChars, settings.Chars) &&
           Set(kIoctlSetHandflow, settings.Handflow);
}

// RTS and DTR under program control are set explicitly, as Windows does;
// under handshake the driver owns them.
BOOL CommPort::SetModemLines(const DCB& dcb) const
{
    if (dcb.fRtsControl == RTS_CONTROL_ENABLE && !Command(kIoctlSetRts))
        return FALSE;
    if (dcb.fRtsControl == RTS_CONTROL_DISABLE && !Command(kIoctlClrRts))
        return FALSE;
    if (dcb.fDtrControl == DTR_CONTROL_ENABLE && !Command(kIoctlSetDtr))
        return FALSE;
    if (dcb.fDtrControl == DTR_CONTROL_DISABLE && !Command(kIoctlClrDtr))
        return FALSE;
    return TRUE;
}

BOOL CommPort::GetTimeouts(LPCOMMTIMEOUTS timeouts) const
{
    if (timeouts == nullptr)
        return FailWith(ERROR_INVALID_PARAMETER);
    SerialTimeouts serial{};
    if (!Get(kIoctlGetTimeouts, &serial))
        return FALSE;
    *timeouts = {serial.ReadIntervalTimeout, serial.ReadTotalTimeoutMultiplier,
                 serial.ReadTotalTimeoutConstant, serial.WriteTotalTimeoutMultiplier,
                 serial.WriteTotalTimeoutConstant};
    return TRUE;
}

BOOL CommPort::SetTimeouts(const COMMTIMEOUTS* timeouts) const
{
    if (timeouts == nullptr)
        return FailWith(ERROR_INVALID_PARAMETER);
    const SerialTimeouts serial{timeouts->ReadIntervalTimeout, timeouts->ReadTotalTimeoutMultiplier,
                                timeouts->ReadTotalTimeoutConstant,
                                timeouts->WriteTotalTimeoutMultiplier,
                                timeouts->WriteTotalTimeoutConstant};
    return Set(kIoctlSetTimeouts, serial);
}

BOOL CommPort::SetMask(DWORD mask) const
{
    return Set(kIoctlSetWaitMask, mask);
}

BOOL CommPort::GetMask(LPDWORD mask) const
{
    if (mask == nullptr)
        return FailWith(ERROR_INVALID_PARAMETER);
    return Get(kIoctlGetWaitMask, mask);
}

BOOL CommPort::WaitEvent(LPDWORD mask, LPOVERLAPPED overlapped) const
{
    if (mask == nullptr)
        return FailWith(ERROR_INVALID_PARAMETER);
    DWORD returned = 0;
    return ioControl_(handle_, kIoctlWaitOnMask, nullptr, 0, mask, sizeof *mask, &returned,
                      overlapped);
}

BOOL CommPort::Purge(DWORD flags) const
{
    return Set(kIoctlPurge, flags);
}

BOOL CommPort::Escape(DWORD function) const
{
    for (const auto& escape : kEscapeCodes) {
        if (escape.Function == function) {
            return Command(escape.Code);
        }
    }
    return FailWith(ERROR_INVALID_PARAMETER);
}

BOOL CommPort::ClearError(LPDWORD errors, LPCOMSTAT stat) const
{
    SerialStatus status{};
    if (!Get(kIoctlGetCommStatus, &status))
        return FALSE;
    if (errors != nullptr)
        *errors = CommErrorsFromStatus(status);
    if (stat != nullptr)
        *stat = ComStatFromStatus(status);
    return TRUE;
}

BOOL CommPort::GetModemStatus(LPDWORD modemStatus) const
{
    if (modemStatus == nullptr)
        return FailWith(ERROR_INVALID_PARAMETER);
    return Get(kIoctlGetModemStatus, modemStatus);
}

BOOL CommPort::Setup(DWORD inQueue, DWORD outQueue) const
{
    return Set(kIoctlSetQueueSize, SerialQueueSize{inQueue, outQueue});
}

}  // namespace zelwin32
