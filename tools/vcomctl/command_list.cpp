// vcomctl list [--json]
#include "command_error.h"
#include "commands.h"
#include "control_session.h"
#include "json_output.h"
#include "module_table.h"
#include "port_paths.h"
#include "table_output.h"

namespace vcomctl {
namespace {

constexpr std::string_view JSON_OPTION = "--json";

bool WantsJson(const Arguments& args)
{
    bool json = false;
    for (const auto& arg : args) {
        if (arg != JSON_OPTION) {
            throw UsageError("unknown argument '" + arg + "' (only --json)");
        }
        json = true;
    }
    return json;
}

}  // namespace

void RunList(const Arguments& Args, std::ostream& Out)
{
    const bool json = WantsJson(Args);
    ControlSession session;
    const auto modules = ReadModuleTable(session);
    if (json) {
        WriteModulesJson(modules, PtyDirectory(), Out);
    } else {
        WriteModuleTable(modules, PtyDirectory(), Out);
    }
}

}  // namespace vcomctl
