#include "device_watch.h"

#include <algorithm>
#include <iterator>
#include <vector>

namespace zelvcomd {
namespace {

std::set<std::string> AsSet(const std::vector<std::string>& names)
{
    return {names.begin(), names.end()};
}

std::vector<std::string> Missing(const std::set<std::string>& from, const std::set<std::string>& in)
{
    std::vector<std::string> missing;
    std::set_difference(from.begin(), from.end(), in.begin(), in.end(),
                        std::back_inserter(missing));
    return missing;
}

}  // namespace

void DeviceWatch::Check()
{
    std::lock_guard<std::mutex> lock(mutex_);
    CompareDevices();
    CompareLinks();
}

void DeviceWatch::CompareDevices()
{
    auto now = AsSet(kernel_.DeviceNames());
    for (const auto& name : Missing(now, devices_)) {
        log_.Info("device created: " + name);
    }
    for (const auto& name : Missing(devices_, now)) {
        log_.Info("device removed: " + name);
    }
    devices_ = std::move(now);
}

void DeviceWatch::ObserveNames(NamesObserver observer)
{
    std::lock_guard<std::mutex> lock(mutex_);
    namesObserver_ = std::move(observer);
    if (namesObserver_)
        namesObserver_({links_.begin(), links_.end()}, {});
}

void DeviceWatch::CompareLinks()
{
    auto now = AsSet(kernel_.SymbolicLinkNames());
    const auto created = Missing(now, links_);
    const auto removed = Missing(links_, now);
    for (const auto& name : created) {
        log_.Info("name created: " + name + " -> " +
                  kernel_.SymbolicLinkTarget(name).value_or("?"));
    }
    for (const auto& name : removed) {
        log_.Info("name removed: " + name);
    }
    links_ = std::move(now);
    if (namesObserver_ && (!created.empty() || !removed.empty())) {
        namesObserver_(created, removed);
    }
}

}  // namespace zelvcomd
