// Logs devices and DOS names as they come and go, by comparing the object
// namespace with what it held at the last check. Checked after every
// device control request, after a client's teardown and around load and
// unload. Others may follow the DOS names (the pseudo-terminal bridge does).
#pragma once

#include "logger.h"

#include <host/kernel.h>

#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace zelvcomd {

class DeviceWatch {
public:
    DeviceWatch(host::Kernel& kernel, Logger& log) : kernel_(kernel), log_(log) {}

    void Check();

    // Called, under the watch's lock, with the DOS names created and
    // removed at each check; at once with every current name.
    using NamesObserver = std::function<void(const std::vector<std::string>& created,
                                             const std::vector<std::string>& removed)>;
    void ObserveNames(NamesObserver observer);

private:
    void CompareDevices();
    void CompareLinks();

    host::Kernel& kernel_;
    Logger& log_;
    std::mutex mutex_;
    std::set<std::string> devices_;
    std::set<std::string> links_;
    NamesObserver namesObserver_;
};

}  // namespace zelvcomd
