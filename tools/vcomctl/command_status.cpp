// vcomctl status
#include "command_error.h"
#include "commands.h"
#include "control_session.h"

namespace vcomctl {

void RunStatus(const Arguments& Args, std::ostream& Out)
{
    ExpectNoArguments(Args);
    ControlSession session;
    const auto running = session.RunStatus();
    const auto count = session.ModuleCount();
    if (!running || !count) {
        throw CommandError(ExitCode::Failed, "the driver did not report its status");
    }
    Out << "run status: "
        << (*running != 0 ? "running (at least one module device exists)" : "stopped (no module device exists)")
        << "\nmodules: " << *count << "\n";
}

}  // namespace vcomctl
