// Which of the table's modules and ports exist now. The driver tells only
// whether any module runs; its devices' names tell each one (on Linux
// zelvcomd reports them, with who has each port open).
#pragma once

#include <zelvcom/module_record.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace vcomctl {

struct DeviceSurvey {
    std::set<std::uint32_t> RunningModules;  // indexes whose module device exists
    std::set<std::uint32_t> Ports;           // COM numbers whose port exists
    // The ports known to be open, with who has each ("picocom, pid 42";
    // empty when unknown). Windows does not say.
    std::map<std::uint32_t, std::string> OpenBy;

    bool Running(std::size_t index) const
    {
        return RunningModules.count(static_cast<std::uint32_t>(index)) != 0;
    }
    // "COM5 is open (picocom, pid 42); COM6 is open": the module's ports
    // known to be open, or empty.
    std::string OpenPortsOf(const ModuleRecord& module) const;
};

// Throws Failure when it cannot be told.
DeviceSurvey SurveyDevices(const std::vector<ModuleRecord>& table);

}  // namespace vcomctl
