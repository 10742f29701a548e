// PortExtension: the extension of a port device (\Device\VSer<n>), what an
// application opens as COM<n>. It holds the line settings, the receive
// buffer and the channel's data connection.
#pragma once

#include "core/nt.h"

#include "core/counted_string.h"
#include "core/dispatch_table.h"
#include "net/connection.h"

#include <ntddser.h>

constexpr ULONG PORT_RX_BUFFER_SIZE = 2048;

// RtsLevel
constexpr ULONG RTS_LEVEL_OFF = 0;
constexpr ULONG RTS_LEVEL_ON = 1;

struct PortExtension {
    DISPATCH_TABLE DispatchTable;
    PDEVICE_OBJECT ModuleDevice;  // the owning module device
    CountedString DeviceName;     // "\Device\VSer" + n
    CountedString LinkName;       // "\DosDevices\COM" + n
    ULONG ChannelIndex;           // c, from 0
    ULONG ComNumber;              // n
    KSPIN_LOCK PortLock;          // read, read-timeout and serial control paths
    KDPC ReadDpc;
    KTIMER ReadTimer;
    PIRP PendingRead;   // the read waiting for data
    ULONG WaitEvents;   // events recorded when a wait is satisfied
    ULONG WaitMask;     // from IOCTL_SERIAL_SET_WAIT_MASK
    ULONG WaitPending;  // a wait-on-mask request is pending
    PIRP PendingWait;
    PUCHAR RxBuffer;  // PORT_RX_BUFFER_SIZE bytes, nonpaged: filled at DISPATCH_LEVEL
    ULONG RxCount;
    ULONG BaudRate;
    ULONG RtsLevel;  // as the program last set it; the module gets it again after a reconnect
    ULONG IsOpen;    // an application has the port open
    ULONG ModemStatus;
    SERIAL_STATUS CommStatus;
    SERIAL_HANDFLOW HandFlow;
    SERIAL_LINE_CONTROL LineControl;
    SERIAL_TIMEOUTS Timeouts;
    SERIAL_CHARS SpecialChars;
    ConnectionRecord DataConnection;
    // A wait lock (core/nt.h): the port's writes run one at a time, so the
    // send buffer is never refilled while its send is in progress; a
    // background reconnect takes it too, never running beside a write's.
    KEVENT WriteLock;
    LONG OpensAndCloses;  // opens and closes of the port under way (port/port_open.h)
    LONG Stopping;        // a stop is removing the port: no open begins
    // Background reconnect (port/port_reconnect.h); the flags under PortLock.
    KTIMER ReconnectTimer;
    KDPC ReconnectDpc;
    PIO_WORKITEM ReconnectWork;
    KEVENT ReconnectIdle;      // set while no attempt is queued, waiting or under way
    BOOLEAN ReconnectQueued;   // an attempt is queued, waiting or under way
    BOOLEAN ReconnectAgain;    // a loss was told of while an attempt was under way
    LONG ReconnectStopped;     // the port is closed or closing: no attempt begins
    ULONG ReconnectDelayMs;    // before the next attempt; 0 before the first
    NTSTATUS ReconnectReason;  // what told of the loss
};

inline PortExtension* PortExtensionOf(PDEVICE_OBJECT PortDevice)
{
    return static_cast<PortExtension*>(PortDevice->DeviceExtension);
}
