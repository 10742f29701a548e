// The module's control channel: short ASCII frames on a module's control
// connection that tell it a channel's baud rate ("02"), framing ("03") and
// RTS level ("05"), the wait for the module's reply, the reconnect of the
// control connection, and the CTS reports the module sends back.
//
// Every frame of a module goes through the one SendBuffer of its control
// connection, so a frame is built and sent (and its reply waited for) with
// the module's lock held (core/devices.h); the lock is taken only at
// PASSIVE_LEVEL and never while a PortLock is held.
//
// The reports ("CTS<digit> <level>", 6 bytes, and the 9-byte status record
// "29...<digit>.<level>.") come among the module's replies. Channel digits
// count from 1; level "1" is on. The connection is a byte stream: a report
// may arrive together with other text or other reports, or cut across two
// receives, so the text is scanned as it comes and the start of a cut
// report is kept for the next receive.
#pragma once

#include "core/nt.h"

#include <ntddser.h>

struct CtsReport {
    LONG ChannelIndex;  // from 0; may lie outside the module's channels
    BOOLEAN On;
};

constexpr ULONG LONGEST_REPORT = 9;

// The scan's state between receives: the first bytes of a report whose
// rest has not arrived yet.
struct ReportStream {
    UCHAR Held[LONGEST_REPORT];
    ULONG HeldLength;
};

typedef void (*CtsReportSink)(PVOID Context, const CtsReport& Report);

// Scans the next Length bytes of the stream and hands each report that they
// complete to Sink, in order. Text that begins no report is passed over; the
// bytes of a report are not scanned again.
void ScanReports(ReportStream* Stream, const UCHAR* Text, ULONG Length, CtsReportSink Sink,
                 PVOID Context);

// A new connection is a new stream.
void ForgetPartialReport(ReportStream* Stream);

struct ConnectionRecord;
struct ModuleExtension;
struct PortExtension;

// Writes the decimal digits of Value at Position, most significant first,
// padded with '0' to Minimum digits; at most Room characters (the lowest
// ones), no terminator. The value 0 with Minimum 0 writes nothing. Returns
// the number of characters written.
ULONG FormatDecimal(PUCHAR Position, ULONG Room, ULONG Value, LONG Minimum);

// Build a frame for the channel ChannelIndex (sent as ChannelIndex + 1) at
// the start of the control connection's SendBuffer and set its SendLength.
// False when the connection has no buffer (it is not open).
bool BuildBaudFrame(ConnectionRecord* Control, ULONG ChannelIndex, ULONG BaudRate);
bool BuildFramingFrame(ConnectionRecord* Control, ULONG ChannelIndex,
                       const SERIAL_LINE_CONTROL& LineControl);
bool BuildRtsFrame(ConnectionRecord* Control, ULONG ChannelIndex, bool On);

// Sends the frame in the control connection's SendBuffer (reconnecting once
// when the connection is down or the send fails) and waits up to 200 ms for
// the module's reply.
// STATUS_SUCCESS when a reply came, STATUS_TIMEOUT otherwise. The caller
// holds the module's lock.
NTSTATUS SendControlFrame(ModuleExtension* Module);

// Reconnects the module's control connection if it is down and, unless the
// channel keeps its line settings local (SerialParaFlag), replays the port's
// baud rate, framing and RTS level. Takes the module's lock.
void SendLineSettings(PortExtension* Port);

// Starts the receive cycle of a control connection just connected: a report
// cut off by an earlier connection is dropped. On failure the connection is
// marked down, so the next frame connects it again.
NTSTATUS StartControlReceive(ModuleExtension* Module);

// Context: the ModuleExtension. Re-posts the receive while the connection
// delivers text and sets the module's ReplyEvent on every completion.
VOID ControlReceiveComplete(PVOID Context, PIO_STATUS_BLOCK StatusBlock, ULONG_PTR Extra);

struct PortExtension;

enum class LineFrame { BaudRate, Framing, RtsOn, RtsOff };

// Builds the frame from the port's settings under PortLock and sends it
// with the module's lock held from building to the end of the reply wait.
// A send that failed or got no reply is not reported: STATUS_SUCCESS unless
// the send path itself reports a failure.
NTSTATUS SendPortFrame(PortExtension* Port, LineFrame Frame);

// Baud rate and framing stay local on a channel whose SerialParaFlag is set.
bool SendsLineSettings(const PortExtension* Port);
