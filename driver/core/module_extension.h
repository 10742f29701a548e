// ModuleExtension: the extension of a module device (\Device\VZelSerial<i>),
// which stands for one networked serial device server: its address, its
// channel table and its control connection.
#pragma once

#include <zelvcom/module_record.h>

#include "core/counted_string.h"
#include "core/devices.h"
#include "core/dispatch_table.h"
#include "net/connection.h"
#include "net/module_control.h"

struct ModuleExtension {
    DISPATCH_TABLE DispatchTable;
    CountedString DeviceName;                          // "\Device\VZelSerial" + i
    CountedString LinkName;                            // "\DosDevices\ZelSerial" + i
    PDEVICE_OBJECT PortDevices[MODULE_CHANNEL_COUNT];  // null: the channel has no port
    ULONG SerialNum[MODULE_CHANNEL_COUNT];             // COM number; 0 = no port
    ULONG SerialPort[MODULE_CHANNEL_COUNT];            // TCP data port, low 16 bits
    ULONG ChannelOpen[MODULE_CHANNEL_COUNT];           // 1 while the channel's port is open
    ULONG SerialParaFlag[MODULE_CHANNEL_COUNT];        // nonzero: keep line settings local
    ULONG SerialCount;
    ULONG ControlPort;  // low 16 bits used
    ULONG ModuleIP;     // network byte order, as in the record
    ULONG OpenPortCount;
    KEVENT ReplyEvent;  // set when a control receive completes
    ConnectionRecord ControlConnection;
    ReportStream Reports;  // what the control receives delivered of a report so far
    KEVENT ModuleLock;     // serialises the module (core/devices.h)
};

static_assert(SharesNamedDeviceHeader<ModuleExtension>(), "NameTeardown finds the module's names");

inline ModuleExtension* ModuleExtensionOf(PDEVICE_OBJECT ModuleDevice)
{
    return static_cast<ModuleExtension*>(ModuleDevice->DeviceExtension);
}
