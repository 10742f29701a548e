// Key paths and value names of the registry configuration, all relative to
// the services root:
//   ZelVCOM\ModuleInfo       ModuleCount
//   ZelVCOM\ModuleSvr<i>     ModuleIP, ControlPort, SerialCount, ModuleName,
//                            SerialPort<j>, SerialNum<j>, SerialParaFlag<j>
// A name that cannot be built comes back Empty; callers make no registry call
// with it.
#pragma once

#include "core/counted_string.h"

// "ZelVCOM\ModuleInfo"
void FormModuleInfoPath(CountedString* Path);

// "ZelVCOM\ModuleSvr" + i
void FormModuleKeyPath(CountedString* Path, ULONG ModuleIndex);

// A per-channel value name: BaseName + j, such as "SerialPort0".
void FormChannelValueName(CountedString* Name, PCWSTR BaseName, ULONG Channel);

// Value names.
extern PCWSTR const MODULE_COUNT_VALUE;
extern PCWSTR const MODULE_IP_VALUE;
extern PCWSTR const CONTROL_PORT_VALUE;
extern PCWSTR const SERIAL_COUNT_VALUE;
extern PCWSTR const MODULE_NAME_VALUE;
extern PCWSTR const SERIAL_PORT_VALUE_BASE;
extern PCWSTR const SERIAL_NUM_VALUE_BASE;
extern PCWSTR const SERIAL_PARA_FLAG_VALUE_BASE;
