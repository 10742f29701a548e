// The module control protocol: short ASCII frames on a module's control
// connection that tell it a channel's baud rate ("02"), framing ("03") and
// RTS level ("05"), and the reconnecting send paths of writes and frames.
//
// Every frame of a module goes through the one SendBuffer of its control
// connection, so a frame is built and sent (and its reply waited for) with
// the module's lock held (core/module_lock.h); the lock is taken only at
// PASSIVE_LEVEL and never while a PortLock is held.
#pragma once

#include "core/nt.h"

#include <ntddser.h>

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

// Sends the data connection's SendBuffer. When the connection is down or the
// send fails: reconnects once, restarts the port's receive, replays the line
// settings and sends again, returning that resend's status. The caller
// serialises the port's writes.
NTSTATUS SendWithReconnect(PortExtension* Port);
