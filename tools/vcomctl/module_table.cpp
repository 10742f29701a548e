#include "module_table.h"

#include "command_error.h"

#include <string>

namespace vcomctl {

std::vector<ModuleRecord> ReadModuleTable(ControlSession& Session)
{
    const auto count = Session.ModuleCount();
    if (!count) {
        throw CommandError(ExitCode::Failed, "the driver did not report its module count");
    }
    std::vector<ModuleRecord> modules;
    modules.reserve(*count);
    for (std::uint32_t index = 0; index < *count; ++index) {
        const auto record = Session.Module(index);
        if (!record) {
            throw CommandError(ExitCode::Failed, "the driver did not return module " + std::to_string(index));
        }
        modules.push_back(*record);
    }
    return modules;
}

}  // namespace vcomctl
