// The driver object of a loaded driver, with the strings it points at, and
// what every driver object of the host (the loaded driver's, \Driver\Tcpip)
// is built from.
#pragma once

#include <wdm.h>

#include <string>

namespace host {

struct LoadedDriver {
    DRIVER_OBJECT Object{};
    DRIVER_EXTENSION Extension{};
    std::u16string Name;        // \Driver\<service>
    std::u16string ServiceKey;  // <service>
};

// The entry every major function starts with: the request is not supported.
NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Points a counted string at text, which must outlive it.
void SetString(UNICODE_STRING* target, std::u16string& text);

}  // namespace host
