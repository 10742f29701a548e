// The DCB and COMSTAT of the comm API against the serial structures the
// driver takes and gives. Pure functions, so the mapping is tested without
// a device.
#pragma once

#include "serial_ioctl.h"

#include <windows.h>

namespace zelwin32 {

// Everything SetCommState sends and GetCommState reads.
struct SerialSettings {
    SerialBaudRate Baud{};
    SerialLineControl Line{};
    SerialChars Chars{};
    SerialHandflow Handflow{};
};

// The DCB has no break character: it is kept from the device's settings.
SerialSettings SettingsFromDcb(const DCB& dcb, BYTE breakChar);
DCB DcbFromSettings(const SerialSettings& settings);

DWORD CommErrorsFromStatus(const SerialStatus& status);
COMSTAT ComStatFromStatus(const SerialStatus& status);

}  // namespace zelwin32
