#include "help.h"

#include <string>

namespace vcomctl {
namespace {

// A synopsis wider than its column puts the summary on the next line.
constexpr std::size_t SYNOPSIS_WIDTH = 18;
constexpr std::size_t SYNOPSIS_INDENT = 2;

constexpr const char INTRODUCTION[] =
    "usage: vcomctl COMMAND [ARGUMENTS]\n"
    "\n"
    "Configures the ZelVCOM driver through its control device \\\\.\\ZelMain (on Linux\n"
    "the driver runs in zelvcomd). The device takes one program at a time.\n"
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
    "  3  zelvcomd is not running (the control device does not exist)\n"
    "  4  the control device is busy: another program has it open\n"
    "\n"
    "environment:\n"
    "  ZELVCOM_SOCKET  the socket of zelvcomd (Linux), if not its default\n";

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

}  // namespace

void WriteUsage(std::ostream& Out)
{
    Out << INTRODUCTION;
    for (const auto& command : AllCommands()) {
        WriteCommandLine(command.Synopsis, command.Summary, Out);
    }
    WriteCommandLine("help [COMMAND]", "show this text, or a command's help", Out);
    Out << CLOSING;
}

void WriteCommandHelp(const Command& Which, std::ostream& Out)
{
    Out << "usage: vcomctl " << Which.Synopsis << "\n\n" << Which.Details;
    Out << "\nExit status: 0 ok, 1 failed, 2 usage, 3 zelvcomd not running, 4 control device busy.\n";
}

}  // namespace vcomctl
