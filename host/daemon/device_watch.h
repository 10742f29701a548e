// Logs devices and DOS names as they come and go, by comparing the object
// namespace with what it held at the last check. Checked after every
// device control request, after a client's teardown and around load and
// unload.
#pragma once

#include "logger.h"

#include <host/kernel.h>

#include <mutex>
#include <set>
#include <string>

namespace zelvcomd {

class DeviceWatch {
public:
    DeviceWatch(host::Kernel& kernel, Logger& log) : kernel_(kernel), log_(log) {}

    void Check();

private:
    void CompareDevices();
    void CompareLinks();

    host::Kernel& kernel_;
    Logger& log_;
    std::mutex mutex_;
    std::set<std::string> devices_;
    std::set<std::string> links_;
};

}  // namespace zelvcomd
