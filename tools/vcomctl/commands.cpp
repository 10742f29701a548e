// The command list with each command's help, and the commands that send
// one request or read the table. add checks the arguments, then the table,
// then adds: the driver only says "failed", so the table is read first to
// tell the reason.
#include "commands.h"

#include "arguments.h"
#include "control_session.h"
#include "output.h"
#include "table_commands.h"
#if !defined(_WIN32)
#include "ports_command.h"
#endif

#include <common/platform.h>

#include <algorithm>
#include <string>

namespace vcomctl {
namespace {

constexpr std::string_view JSON_OPTION = "--json";

void RunAdd(const Arguments& Args, std::ostream& Out)
{
    const ModuleRecord record = ParseModuleArgument(Args);
    ControlSession session;
    const auto modules = ReadModuleTable(session);
    CheckAddable(modules, record);
    if (!session.AddModule(record)) {
        throw Failure(ExitCode::Failed, "the driver refused the module");
    }
    Out << "added module " << modules.size() << " '" << ModuleName(record) << "' ("
        << FormatIpv4(record.ModuleIP) << ", " << record.SerialCount << " channel"
        << (record.SerialCount == 1 ? "" : "s") << "); 'vcomctl start' creates its ports, "
        << "'vcomctl save' keeps it\n";
}

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

void RunList(const Arguments& Args, std::ostream& Out)
{
    const bool json = WantsJson(Args);
    ControlSession session;
    const auto modules = ReadModuleTable(session);
    if (json) {
        WriteModulesJson(modules, FindPortPlaces(), Out);
    } else {
        WriteModuleTable(modules, FindPortPlaces(), Out);
    }
}

void RunStatus(const Arguments& Args, std::ostream& Out)
{
    ExpectNoArguments(Args);
    ControlSession session;
    const auto running = session.RunStatus();
    const auto count = session.ModuleCount();
    if (!running || !count) {
        throw Failure(ExitCode::Failed, "the driver did not report its status");
    }
    Out << "run status: "
        << (*running != 0 ? "running (at least one module device exists)"
                          : "stopped (no module device exists)")
        << "\nmodules: " << *count << "\n";
}

// The commands that send one request without data: save, delete-saved.
struct Action {
    std::string_view Name;
    ControlSession::PlainRequest Request;
    std::string_view Done;    // stdout on success
    std::string_view Failed;  // stderr on failure: the likely reason
};

constexpr Action kSave{"save", VCOM_SaveInfoReg, "configuration saved",
                       "the driver could not store the configuration"};
constexpr Action kDeleteSaved{"delete-saved", VCOM_ClearDevReg, "saved configuration deleted",
                              "the driver could not delete the saved configuration"};

CommandRunner ActionRunner(Action action)
{
    return [action](const Arguments& args, std::ostream& out) {
        ExpectNoArguments(args);
        ControlSession session;
        if (!session.Send(action.Request)) {
            throw Failure(ExitCode::Failed,
                          std::string(action.Name) + " failed: " + std::string(action.Failed));
        }
        out << action.Done << "\n";
    };
}

void RunExport(const Arguments& Args, std::ostream& Out)
{
    ExpectNoArguments(Args);
    RunList({std::string(JSON_OPTION)}, Out);
}

// zelvcomd keeps what it sees of the ports: Linux has ports, after status.
std::vector<Command> WithPlatformCommands(std::vector<Command> commands)
{
#if !defined(_WIN32)
    const auto status = std::find_if(commands.begin(), commands.end(), [](const Command& command) {
        return command.Name == "status";
    });
    commands.insert(status + 1, {"ports", "ports [--json] [--watch [SECONDS]]",
                                 "show each port's state and traffic", PORTS_HELP, RunPorts});
#endif
    return commands;
}

}  // namespace

void ExpectNoArguments(const Arguments& Args)
{
    if (!Args.empty()) {
        throw UsageError("no arguments expected (got '" + Args.front() + "')");
    }
}

const std::vector<Command>& AllCommands()
{
    static const std::vector<Command> commands = WithPlatformCommands({
        {"add", "add ADDRESS CONTROL_PORT NAME CHANNEL...", "add a module to the driver's table",
         "Adds one module (a networked serial device server) at the end of the table.\n"
         "  ADDRESS       its IPv4 address, a dotted quad such as 192.168.1.10\n"
         "  CONTROL_PORT  the TCP port of its control connection, 1-65535\n"
         "  NAME          a display name of 1 to 19 bytes\n"
         "  CHANNEL       1 to 8 channels, each TCPPORT:COM or TCPPORT:COM:withhold\n"
         "                TCPPORT  the channel's data port on the module, 1-65535\n"
         "                COM      n of the port COM<n>, 0-4096 (also written COM5);\n"
         "                         0 gives the channel no port\n"
         "                withhold baud rate and framing are never sent to the module\n"
         "Refused when the table is full (256 modules), when a module with the same\n"
         "address is listed, or when a COM number is already in use.\n"
         "The module runs after 'vcomctl start'; 'vcomctl save' keeps it for the next\n"
         "start of the driver.\n"
         "Example: vcomctl add 192.168.1.10 4000 lab 4001:5 4002:6:withhold\n",
         RunAdd},
        {"list", "list [--json]", "show the module table",
         "Shows every module of the table in order: index, name, address, control port\n"
         "and per channel its TCP port, its COM port, whether line settings are sent, and\n"
         "the path programs open it by (" ZEL_PORT_PATH_HELP ") and, when zelvcomd\n"
         "serves RFC 2217 clients (--rfc2217-base-port), the port's RFC 2217 endpoint\n"
         "ADDRESS:PORT.\n"
         "  --json  the same as a JSON document:\n"
         "          {\"modules\": [{\"index\", \"name\", \"address\", \"control_port\",\n"
         "                        \"channels\": [{\"tcp_port\", \"com\", \"withhold\", "
         "\"path\",\n"
         "                                      \"rfc2217\"}]}]}\n"
         "          (\"com\" 0: the channel has no port; \"path\" null: no link;\n"
         "          \"rfc2217\" null: no endpoint)\n",
         RunList},
        {"export", "export", "write the table as JSON, for import",
         "Writes the table as 'vcomctl list --json' does; 'vcomctl import' reads it back.\n"
         "Example: vcomctl export > modules.json\n",
         RunExport},
        {"status", "status", "show the run status and the module count",
         "Prints the run status (running: at least one module device exists) and the\n"
         "number of modules in the table.\n",
         RunStatus},
        {"start", "start", "create the devices and COM ports of every module",
         "Creates the devices and COM ports of every module that is not running, and\n"
         "tells each module's outcome. A module already running is left as it is.\n"
         "Fails when a module could not be started.\n",
         RunStart},
        {"stop", "stop", "remove the devices and COM ports of every module",
         "Removes every running module's ports and device. A module with an open port\n"
         "keeps running: each such module is named, with its open ports, and the\n"
         "command fails.\n",
         RunStop},
        {"remove", "remove INDEX", "remove one module from the table",
         "Removes module INDEX ('vcomctl list' shows the indexes); the modules after it\n"
         "move up one index. The driver changes its table only as a whole, so every\n"
         "module is stopped, the table cleared and the others added back; a running\n"
         "table is started again, and saved again when the saved configuration was\n"
         "the table. Refused while a port of the table is open. A step that fails\n"
         "puts the old table back.\n",
         RunRemove},
        {"edit", "edit INDEX ADDRESS CONTROL_PORT NAME CHANNEL...",
         "replace one module of the table",
         "Replaces module INDEX by the module the arguments describe, as 'vcomctl add'\n"
         "takes them, with add's checks against the other modules. The table changes\n"
         "as for 'vcomctl remove': stopped, rebuilt, started and saved again as it was.\n"
         "Example: vcomctl edit 0 192.168.1.10 4000 lab 4001:5 4002:7\n",
         RunEdit},
        {"import", "import [--replace] FILE", "add the modules of an exported table",
         "Reads FILE ('-': standard input) as 'vcomctl export' writes it and checks\n"
         "every module as 'vcomctl add' would before changing anything. The modules\n"
         "are added at the end of the table (run 'vcomctl start' for their ports).\n"
         "  --replace  they replace the table, which changes as for 'vcomctl remove'\n",
         RunImport},
        {"save", "save", "store the table as the saved configuration",
         "Writes the table to the driver's saved configuration, which the driver loads\n"
         "and starts when it starts.\n",
         ActionRunner(kSave)},
        {"reload", "reload [--force]", "replace the table by the saved configuration",
         "Reads the saved configuration into the table. Refused while modules run:\n"
         "their ports could be left where 'vcomctl stop' no longer finds them.\n"
         "  --force  stop the modules first\n",
         RunReload},
        {"clear", "clear [--force]", "empty the table",
         "Removes every module from the table. Refused while modules run: their ports\n"
         "would be left where 'vcomctl stop' no longer finds them.\n"
         "  --force  stop the modules first\n",
         RunClear},
        {"delete-saved", "delete-saved", "delete the saved configuration",
         "Deletes the saved configuration of the modules now in the table (after\n"
         "'clear' only the module count is deleted).\n",
         ActionRunner(kDeleteSaved)},
    });
    return commands;
}

const Command* FindCommand(std::string_view Name)
{
    for (const auto& command : AllCommands()) {
        if (command.Name == Name) {
            return &command;
        }
    }
    return nullptr;
}

}  // namespace vcomctl
