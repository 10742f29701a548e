// vcomctl add: checks the arguments, then the table, then adds. The driver
// only says "failed", so the table is read first to tell the reason.
#include "command_error.h"
#include "commands.h"
#include "control_session.h"
#include "ipv4_address.h"
#include "module_argument.h"
#include "module_table.h"
#include "module_view.h"

#include <string>

namespace vcomctl {
namespace {

std::string Describe(std::size_t index, const ModuleRecord& record)
{
    return "module " + std::to_string(index) + " ('" + ModuleName(record) + "')";
}

void CheckNotListed(const std::vector<ModuleRecord>& modules, const ModuleRecord& added)
{
    for (std::size_t i = 0; i < modules.size(); ++i) {
        if (modules[i].ModuleIP == added.ModuleIP) {
            throw CommandError(ExitCode::Failed, "a module with address " + FormatIpv4(added.ModuleIP) +
                                                     " is already configured: " + Describe(i, modules[i]));
        }
    }
}

// A second port device for the same COM<n> would fail to be created.
void CheckComNumbersFree(const std::vector<ModuleRecord>& modules, const ModuleRecord& added)
{
    for (std::uint32_t c = 0; c < ChannelCount(added); ++c) {
        const std::uint32_t number = added.SerialNum[c];
        for (std::size_t i = 0; i < modules.size() && number != 0; ++i) {
            for (std::uint32_t k = 0; k < ChannelCount(modules[i]); ++k) {
                if (modules[i].SerialNum[k] == number) {
                    throw CommandError(ExitCode::Failed, "COM" + std::to_string(number) +
                                                             " is already used by " + Describe(i, modules[i]));
                }
            }
        }
    }
}

void CheckRoom(const std::vector<ModuleRecord>& modules)
{
    if (modules.size() >= MODULE_TABLE_SIZE) {
        throw CommandError(ExitCode::Failed, "the module table is full (" + std::to_string(MODULE_TABLE_SIZE) +
                                                 " modules); 'vcomctl clear' empties it");
    }
}

}  // namespace

void RunAdd(const Arguments& Args, std::ostream& Out)
{
    const ModuleRecord record = ParseModuleArgument(Args);
    ControlSession session;
    const auto modules = ReadModuleTable(session);
    CheckRoom(modules);
    CheckNotListed(modules, record);
    CheckComNumbersFree(modules, record);
    if (!session.AddModule(record)) {
        throw CommandError(ExitCode::Failed, "the driver refused the module");
    }
    Out << "added module " << modules.size() << " '" << ModuleName(record) << "' ("
        << FormatIpv4(record.ModuleIP) << ", " << record.SerialCount << " channel"
        << (record.SerialCount == 1 ? "" : "s") << "); 'vcomctl start' creates its ports, "
        << "'vcomctl save' keeps it\n";
}

}  // namespace vcomctl
