// vcomctl: configures the ZelVCOM driver through the VZelSerial library.
#include "command_error.h"
#include "commands.h"
#include "help.h"

#include <exception>
#include <iostream>

namespace {

using vcomctl::Arguments;
using vcomctl::ExitCode;
using vcomctl::ToStatus;

constexpr std::string_view HELP_COMMAND = "help";

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

// vcomctl help [COMMAND]
int RunHelp(const Arguments& args)
{
    if (args.empty()) {
        vcomctl::WriteUsage(std::cout);
        return ToStatus(ExitCode::Ok);
    }
    const vcomctl::Command* command = args.size() == 1 ? vcomctl::FindCommand(args.front()) : nullptr;
    if (command == nullptr) {
        return UsageFailure("help: no such command '" + args.front() + "'");
    }
    vcomctl::WriteCommandHelp(*command, std::cout);
    return ToStatus(ExitCode::Ok);
}

int RunCommand(const vcomctl::Command& command, const Arguments& args)
{
    for (const auto& arg : args) {
        if (IsHelpOption(arg)) {
            vcomctl::WriteCommandHelp(command, std::cout);
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
    } catch (const vcomctl::CommandError& error) {
        std::cerr << "vcomctl " << command.Name << ": " << error.what() << "\n";
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
    if (IsHelpOption(name) || name == HELP_COMMAND) {
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
