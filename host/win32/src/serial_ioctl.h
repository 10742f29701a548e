// The serial port I/O controls the comm API issues, with their structures
// and flag values as the driver sees them (the WDK's ntddser.h values),
// written with Win32 types so this side never includes the NT headers.
#pragma once

#include <windows.h>

namespace zelwin32 {

constexpr DWORD SerialControl(DWORD function)
{
    return CTL_CODE(FILE_DEVICE_SERIAL_PORT, function, METHOD_BUFFERED, FILE_ANY_ACCESS);
}

enum : DWORD {
    kIoctlSetBaudRate = SerialControl(1),
    kIoctlSetQueueSize = SerialControl(2),
    kIoctlSetLineControl = SerialControl(3),
    kIoctlSetBreakOn = SerialControl(4),
    kIoctlSetBreakOff = SerialControl(5),
    kIoctlSetTimeouts = SerialControl(7),
    kIoctlGetTimeouts = SerialControl(8),
    kIoctlSetDtr = SerialControl(9),
    kIoctlClrDtr = SerialControl(10),
    kIoctlResetDevice = SerialControl(11),
    kIoctlSetRts = SerialControl(12),
    kIoctlClrRts = SerialControl(13),
    kIoctlSetXoff = SerialControl(14),
    kIoctlSetXon = SerialControl(15),
    kIoctlGetWaitMask = SerialControl(16),
    kIoctlSetWaitMask = SerialControl(17),
    kIoctlWaitOnMask = SerialControl(18),
    kIoctlPurge = SerialControl(19),
    kIoctlGetBaudRate = SerialControl(20),
    kIoctlGetLineControl = SerialControl(21),
    kIoctlGetChars = SerialControl(22),
    kIoctlSetChars = SerialControl(23),
    kIoctlGetHandflow = SerialControl(24),
    kIoctlSetHandflow = SerialControl(25),
    kIoctlGetModemStatus = SerialControl(26),
    kIoctlGetCommStatus = SerialControl(27),
};

static_assert(kIoctlSetBaudRate == 0x001B0004, "serial I/O control layout");
static_assert(kIoctlGetCommStatus == 0x001B006C, "serial I/O control layout");

struct SerialBaudRate {
    DWORD BaudRate;
};

struct SerialLineControl {
    BYTE StopBits;
    BYTE Parity;
    BYTE WordLength;
};

struct SerialTimeouts {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};

struct SerialChars {
    BYTE EofChar;
    BYTE ErrorChar;
    BYTE BreakChar;
    BYTE EventChar;
    BYTE XonChar;
    BYTE XoffChar;
};

struct SerialHandflow {
    DWORD ControlHandShake;
    DWORD FlowReplace;
    LONG XonLimit;
    LONG XoffLimit;
};

struct SerialStatus {
    DWORD Errors;
    DWORD HoldReasons;
    DWORD AmountInInQueue;
    DWORD AmountInOutQueue;
    BYTE EofReceived;
    BYTE WaitForImmediate;
};

struct SerialQueueSize {
    DWORD InSize;
    DWORD OutSize;
};

static_assert(sizeof(SerialLineControl) == 3, "SERIAL_LINE_CONTROL");
static_assert(sizeof(SerialChars) == 6, "SERIAL_CHARS");
static_assert(sizeof(SerialHandflow) == 16, "SERIAL_HANDFLOW");
static_assert(sizeof(SerialStatus) == 20, "SERIAL_STATUS");
static_assert(sizeof(SerialTimeouts) == sizeof(COMMTIMEOUTS), "SERIAL_TIMEOUTS");

// SERIAL_HANDFLOW.ControlHandShake
enum : DWORD {
    kSerialDtrControl = 0x01,
    kSerialDtrHandshake = 0x02,
    kSerialCtsHandshake = 0x08,
    kSerialDsrHandshake = 0x10,
    kSerialDsrSensitivity = 0x40,
    kSerialErrorAbort = 0x80000000,
};

// SERIAL_HANDFLOW.FlowReplace
enum : DWORD {
    kSerialAutoTransmit = 0x01,
    kSerialAutoReceive = 0x02,
    kSerialErrorChar = 0x04,
    kSerialNullStripping = 0x08,
    kSerialRtsMask = 0xC0,
    kSerialRtsControl = 0x40,
    kSerialRtsHandshake = 0x80,
    kSerialTransmitToggle = 0xC0,
    kSerialXoffContinue = 0x80000000,
};

// SERIAL_STATUS.Errors
enum : DWORD {
    kSerialErrorBreak = 0x01,
    kSerialErrorFraming = 0x02,
    kSerialErrorOverrun = 0x04,
    kSerialErrorQueueOverrun = 0x08,
    kSerialErrorParity = 0x10,
};

// SERIAL_STATUS.HoldReasons
enum : DWORD {
    kSerialTxWaitingForCts = 0x01,
    kSerialTxWaitingForDsr = 0x02,
    kSerialTxWaitingForDcd = 0x04,
    kSerialTxWaitingForXon = 0x08,
    kSerialTxWaitingXoffSent = 0x10,
};

}  // namespace zelwin32
