// The commands that send one request without data: start, stop, save,
// reload, clear, delete-saved.
#include "command_error.h"
#include "commands.h"
#include "control_session.h"

namespace vcomctl {
namespace {

using Operation = bool (ControlSession::*)();

struct Action {
    std::string_view Name;
    Operation Send;
    std::string_view Done;    // stdout on success
    std::string_view Failed;  // stderr on failure: the likely reason
};

void RunAction(const Action& action, const Arguments& args, std::ostream& out)
{
    ExpectNoArguments(args);
    ControlSession session;
    if (!(session.*action.Send)()) {
        throw CommandError(ExitCode::Failed, std::string(action.Name) + " failed: " + std::string(action.Failed));
    }
    out << action.Done << "\n";
}

}  // namespace

void RunStart(const Arguments& Args, std::ostream& Out)
{
    RunAction({"start", &ControlSession::StartAll, "started all modules",
               "the last module's devices could not be created (already running? 'vcomctl stop' first)"},
              Args, Out);
}

void RunStop(const Arguments& Args, std::ostream& Out)
{
    RunAction({"stop", &ControlSession::StopAll, "stopped all modules",
               "a module keeps running because one of its COM ports is open"},
              Args, Out);
}

void RunSave(const Arguments& Args, std::ostream& Out)
{
    RunAction({"save", &ControlSession::Save, "configuration saved",
               "the driver could not store the configuration"},
              Args, Out);
}

void RunReload(const Arguments& Args, std::ostream& Out)
{
    RunAction({"reload", &ControlSession::Reload, "configuration reloaded",
               "the driver could not read the saved configuration"},
              Args, Out);
}

void RunClear(const Arguments& Args, std::ostream& Out)
{
    RunAction({"clear", &ControlSession::Clear, "module table cleared", "the driver refused to clear the table"},
              Args, Out);
}

void RunDeleteSaved(const Arguments& Args, std::ostream& Out)
{
    RunAction({"delete-saved", &ControlSession::DeleteSaved, "saved configuration deleted",
               "the driver could not delete the saved configuration"},
              Args, Out);
}

}  // namespace vcomctl
