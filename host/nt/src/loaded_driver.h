// The driver object of a loaded driver, with the strings it points at.
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

}  // namespace host
