// vcomctl: configures the ZelVCOM driver through the VZelSerial library.
// Here: the command line, the help texts, and the exit status.
#include "commands.h"

#include <common/platform.h>

#include <exception>
#include <iostream>
#include <sstream>
#include <string>

namespace {

using vcomctl::Arguments;
using vcomctl::ExitCode;
using vcomctl::ToStatus;

// Not HELP_COMMAND: windows.h defines that.
constexpr std::string_view HELP_COMMAND_NAME = "help";

// A synopsis wider than its column puts the summary on the next line.
constexpr std::size_t SYNOPSIS_WIDTH = 18;
constexpr std::size_t SYNOPSIS_INDENT = 2;

constexpr const char INTRODUCTION[] =
    "usage: vcomctl COMMAND [ARGUMENTS]\n"
    "\n"
    "Configures the ZelVCOM driver through its control device \\\\.\\ZelMain (on Linux\n"
    "the driver runs in zelvcomd). The device takes one program at a time: a\n"
    "command waits a few seconds for another to be done with it.\n"
    "\n"
    "commands:\n";

constexpr const char CLOSING[] =
    "\n"
    "'vcomctl help COMMAND' or 'vcomctl COMMAND --help' explains a command.\n"
    "\n"
    "exit status:\n"
    "  0  success\n"
    "  1  the operation failed: the driver refused it, or a check before it failed\n"
    "     (table full, address already listed, COM number in use)\n"
    "  2  usage error: unknown command, bad or missing argument\n"
    "  3  " ZEL_DRIVER_HOST
    " is not running (the control device does not exist)\n"
    "  4  the control device stayed busy: another program kept it open\n" ZEL_ENVIRONMENT_HELP;

void WriteCommandLine(std::string_view synopsis, std::string_view summary, std::ostream& out)
{
    const std::string indent(SYNOPSIS_INDENT, ' ');
    out << indent << synopsis;
    if (synopsis.size() + 1 > SYNOPSIS_WIDTH) {
        out << "\n" << indent << std::string(SYNOPSIS_WIDTH, ' ');
    } else {
        out << std::string(SYNOPSIS_WIDTH - synopsis.size(), ' ');
    }
    out << summary << "\n";
}

void WriteUsage(std::ostream& Out)
{
    Out << INTRODUCTION;
    for (const auto& command : vcomctl::AllCommands()) {
        WriteCommandLine(command.Synopsis, command.Summary, Out);
    }
    WriteCommandLine("help [COMMAND]", "show this text, or a command's help", Out);
    Out << CLOSING;
}

void WriteCommandHelp(const vcomctl::Command& Which, std::ostream& Out)
{
    Out << "usage: vcomctl " << Which.Synopsis << "\n\n" << Which.Details;
    Out << "\nExit status: 0 ok, 1 failed, 2 usage, 3 " ZEL_DRIVER_HOST
           " is not running,\n4 control device busy.\n";
}

bool IsHelpOption(std::string_view arg)
{
    return arg == "--help" || arg == "-h";
}

int UsageFailure(const std::string& message)
{
    std::cerr << "vcomctl: " << message << "\n"
              << "Run 'vcomctl --help' for the commands.\n";
    return ToStatus(ExitCode::Usage);
}

constexpr const char HELP_HELP[] =
    "usage: vcomctl help [COMMAND]\n"
    "\n"
    "Shows the commands, or COMMAND's help (as 'vcomctl COMMAND --help' does).\n";

// vcomctl help [COMMAND]
int RunHelp(const Arguments& args)
{
    if (args.size() == 1 && IsHelpOption(args.front())) {
        std::cout << HELP_HELP;
        return ToStatus(ExitCode::Ok);
    }
    if (args.empty()) {
        WriteUsage(std::cout);
        return ToStatus(ExitCode::Ok);
    }
    const vcomctl::Command* command =
        args.size() == 1 ? vcomctl::FindCommand(args.front()) : nullptr;
    if (command == nullptr) {
        return UsageFailure("help: no such command '" + args.front() + "'");
    }
    WriteCommandHelp(*command, std::cout);
    return ToStatus(ExitCode::Ok);
}

int RunCommand(const vcomctl::Command& command, const Arguments& args)
{
    for (const auto& arg : args) {
        if (IsHelpOption(arg)) {
            WriteCommandHelp(command, std::cout);
            return ToStatus(ExitCode::Ok);
        }
    }
    try {
        command.Run(args, std::cout);
        return ToStatus(ExitCode::Ok);
    } catch (const vcomctl::UsageError& error) {
        std::cerr << "vcomctl " << command.Name << ": " << error.what() << "\n"
                  << "usage: vcomctl " << command.Synopsis << "\n";
        return ToStatus(error.Code());
    } catch (const vcomctl::Failure& error) {
        // A failure per line, each for a module or a port, say.
        std::istringstream lines(error.what());
        for (std::string line; std::getline(lines, line);) {
            std::cerr << "vcomctl " << command.Name << ": " << line << "\n";
        }
        return ToStatus(error.Code());
    }
}

int Run(int argc, char** argv)
{
    if (argc < 2) {
        return UsageFailure("no command given");
    }
    const std::string name = argv[1];
    const Arguments args(argv + 2, argv + argc);
    if (IsHelpOption(name) || name == HELP_COMMAND_NAME) {
        return RunHelp(args);
    }
    const vcomctl::Command* command = vcomctl::FindCommand(name);
    if (command == nullptr) {
        return UsageFailure("unknown command '" + name + "'");
    }
    return RunCommand(*command, args);
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        return Run(argc, argv);
    } catch (const std::exception& error) {
        std::cerr << "vcomctl: " << error.what() << "\n";
        return ToStatus(ExitCode::Failed);
    }
}
