// The command list with each command's help.
#include "commands.h"

#include "command_error.h"

namespace vcomctl {

const std::vector<Command>& AllCommands()
{
    static const std::vector<Command> commands{
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
         "the path programs open it by (zelvcomd's link to the port's pseudo-terminal,\n"
         "once the port exists; looked for in $ZELVCOM_PTY_DIR, else in \"dev\" beside\n"
         "the daemon's socket).\n"
         "  --json  the same as a JSON document:\n"
         "          {\"modules\": [{\"index\", \"name\", \"address\", \"control_port\",\n"
         "                        \"channels\": [{\"tcp_port\", \"com\", \"withhold\", \"path\"}]}]}\n"
         "          (\"com\" 0: the channel has no port; \"path\" null: no link)\n",
         RunList},
        {"status", "status", "show the run status and the module count",
         "Prints the run status (running: at least one module device exists) and the\n"
         "number of modules in the table.\n",
         RunStatus},
        {"start", "start", "create the devices and COM ports of every module",
         "Creates each module's device and its COM ports. Fails when the last module's\n"
         "devices cannot be created, for instance because it is already running;\n"
         "modules added since the last start are created all the same.\n",
         RunStart},
        {"stop", "stop", "remove the devices and COM ports of every module",
         "Removes every running module's ports and device. A module with an open port\n"
         "keeps running; the command then fails if that module is the last one tried.\n",
         RunStop},
        {"save", "save", "store the table as the saved configuration",
         "Writes the table to the driver's saved configuration, which the driver loads\n"
         "and starts when it starts.\n",
         RunSave},
        {"reload", "reload", "replace the table by the saved configuration",
         "Reads the saved configuration into the table. Running modules keep the\n"
         "settings they were started with.\n",
         RunReload},
        {"clear", "clear", "empty the table",
         "Removes every module from the table. Devices that are running stay until the\n"
         "driver stops and can no longer be stopped: run 'vcomctl stop' first.\n",
         RunClear},
        {"delete-saved", "delete-saved", "delete the saved configuration",
         "Deletes the saved configuration of the modules now in the table (after\n"
         "'clear' only the module count is deleted).\n",
         RunDeleteSaved},
    };
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

void ExpectNoArguments(const Arguments& Args)
{
    if (!Args.empty()) {
        throw UsageError("no arguments expected (got '" + Args.front() + "')");
    }
}

}  // namespace vcomctl
