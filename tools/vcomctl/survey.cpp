#include "survey.h"

#include "output.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include "daemon_query.h"
#endif

namespace vcomctl {
namespace {

#if defined(_WIN32)

// The driver's DOS names: ZelSerial<i> for module i, COM<n> for a port.
bool DosNameExists(const std::string& name)
{
    char target[MAX_PATH];
    return QueryDosDeviceA(name.c_str(), target, sizeof target) != 0;
}

#else

std::string Opener(const zelipc::PortReport& port)
{
    const std::string pid = port.ProcessId != 0 ? "pid " + std::to_string(port.ProcessId) : "";
    if (port.Program.empty())
        return pid;
    return pid.empty() ? port.Program : port.Program + ", " + pid;
}

#endif

}  // namespace

std::string DeviceSurvey::OpenPortsOf(const ModuleRecord& module) const
{
    std::string ports;
    for (std::uint32_t c = 0; c < ChannelCount(module); ++c) {
        const auto open = OpenBy.find(module.SerialNum[c]);
        if (module.SerialNum[c] == 0 || open == OpenBy.end())
            continue;
        ports += (ports.empty() ? "COM" : "; COM") + std::to_string(open->first) + " is open";
        if (!open->second.empty())
            ports += " (" + open->second + ")";
    }
    return ports;
}

DeviceSurvey SurveyDevices(const std::vector<ModuleRecord>& table)
{
    DeviceSurvey survey;
#if defined(_WIN32)
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (DosNameExists("ZelSerial" + std::to_string(i)))
            survey.RunningModules.insert(static_cast<std::uint32_t>(i));
        for (std::uint32_t c = 0; c < ChannelCount(table[i]); ++c) {
            const std::uint32_t com = table[i].SerialNum[c];
            if (com != 0 && DosNameExists("COM" + std::to_string(com)))
                survey.Ports.insert(com);
        }
    }
#else
    (void)table;
    const zelipc::PortStatusPage status = QueryPortStatus();
    survey.RunningModules.insert(status.ModuleDevices.begin(), status.ModuleDevices.end());
    for (const auto& port : status.Ports) {
        survey.Ports.insert(port.ComNumber);
        if (port.OpenedBy != zelipc::PortOpener::None)
            survey.OpenBy[port.ComNumber] = Opener(port);
    }
#endif
    return survey;
}

}  // namespace vcomctl
