#include "options.h"

#include "failure.h"

#include <common/argument_reader.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <limits>
#include <string_view>

namespace comping {
namespace {

constexpr const char kHelp[] = R"(usage: comping COM<n> [--baud N] [--count N] [--message TEXT] [--timeout-ms N]

Sends a message through a ZelVCOM port and reads it back, as a program on
Windows would: CreateFileA("\\.\COM<n>"), SetCommState (N baud, 8 data bits,
no parity, 1 stop bit), SetCommTimeouts, then WriteFile and ReadFile. The far
end must send back what it gets (a module channel in echo mode). Prints one
line per round trip with the bytes that came back and the time it took, then
a summary; stops at the first round trip that fails.

options:
  --baud N          line speed set on the port (default 115200)
  --count N         round trips (default 4)
  --message TEXT    what is sent each time (default "ping"; not empty)
  --timeout-ms N    how long a round trip may take (default 1000)
  -h, --help        this text

exit status:
  0  every round trip came back unchanged
  1  a round trip came back different or not in time, or a call failed
     (the port does not exist, the module cannot be reached, ...)
  2  usage error
  3  zelvcomd is not running

environment:
  ZELVCOM_SOCKET  the socket of zelvcomd, if not its default
)";

constexpr std::string_view kComPrefix = "COM";
// COM numbers a port can have; Windows numbers serial ports up to COM4096.
constexpr unsigned kFirstCom = 1;
constexpr unsigned kLastCom = 4096;
constexpr unsigned kLeastPositive = 1;
constexpr unsigned kNoLimit = std::numeric_limits<unsigned>::max();

using ArgumentReader = zeltools::ArgumentReader<UsageError>;

// The whole of text as a decimal number in [least, most].
unsigned ParseNumber(std::string_view text, unsigned least, unsigned most, std::string_view what)
{
    unsigned value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end || value < least || value > most) {
        throw UsageError(std::string(what) + " must be a number from " + std::to_string(least) + " to " +
                         std::to_string(most) + ", not '" + std::string(text) + "'");
    }
    return value;
}

// "COM", in any case, as Windows takes device names.
bool StartsWithComPrefix(std::string_view text)
{
    const std::string_view head = text.substr(0, kComPrefix.size());
    return head.size() == kComPrefix.size() &&
           std::equal(head.begin(), head.end(), kComPrefix.begin(), [](char given, char expected) {
               return std::toupper(static_cast<unsigned char>(given)) == expected;
           });
}

unsigned ParsePortName(std::string_view text)
{
    if (!StartsWithComPrefix(text)) {
        throw UsageError("expected a port name COM<n>, not '" + std::string(text) + "'");
    }
    return ParseNumber(text.substr(kComPrefix.size()), kFirstCom, kLastCom, "the COM number");
}

void ApplyOption(Options& options, std::string_view arg, ArgumentReader& args)
{
    if (arg == "--baud") {
        options.BaudRate = ParseNumber(args.ValueOf(arg), kLeastPositive, kNoLimit, arg);
    } else if (arg == "--count") {
        options.Count = ParseNumber(args.ValueOf(arg), kLeastPositive, kNoLimit, arg);
    } else if (arg == "--timeout-ms") {
        options.TimeoutMs = ParseNumber(args.ValueOf(arg), kLeastPositive, kNoLimit, arg);
    } else if (arg == "--message") {
        options.Message = std::string(args.ValueOf(arg));
        if (options.Message.empty()) {
            throw UsageError("--message must not be empty");
        }
    } else {
        throw UsageError("unknown option '" + std::string(arg) + "'");
    }
}

}  // namespace

Options ParseOptions(int argc, const char* const* argv)
{
    Options options;
    bool portGiven = false;
    ArgumentReader args(argc, argv);
    while (!args.Done()) {
        const std::string_view arg = args.Next();
        if (arg == "-h" || arg == "--help") {
            options.Help = true;
        } else if (arg.substr(0, 1) == "-") {
            ApplyOption(options, arg, args);
        } else if (portGiven) {
            throw UsageError("one port only: '" + std::string(arg) + "' is one too many");
        } else {
            options.ComNumber = ParsePortName(arg);
            portGiven = true;
        }
    }
    if (!portGiven && !options.Help) {
        throw UsageError("no port given");
    }
    return options;
}

const char* HelpText() { return kHelp; }

}  // namespace comping
