// comping: round trips through one ZelVCOM port, to show that it works and
// how long the way through the driver and the module takes. See --help.
// Here: the command line, the run, and the exit status.
#include "comping.h"

#include <common/argument_reader.h>
#include <common/platform.h>

#include <algorithm>
#include <exception>
#include <iostream>
#include <limits>
#include <optional>

namespace comping {
namespace {

constexpr const char kHelp[] =
    R"(usage: comping COM<n> [--baud N] [--count N] [--message TEXT] [--timeout-ms N]

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
  3  )" ZEL_DRIVER_HOST R"( is not running
)" ZEL_ENVIRONMENT_HELP;

// COM numbers a port can have; Windows numbers serial ports up to COM4096.
constexpr unsigned kFirstCom = 1;
constexpr unsigned kLastCom = 4096;
constexpr unsigned kLeastPositive = 1;
constexpr unsigned kNoLimit = std::numeric_limits<unsigned>::max();

using ArgumentReader = zeltools::ArgumentReader<UsageError>;

// The whole of text as a decimal number in [least, most]. Unlike vcomctl,
// comping has always taken leading zeros ("COM007", "--count 010"): they go
// before the shared parser sees the digits.
unsigned ParseNumber(std::string_view text, unsigned least, unsigned most, std::string_view what)
{
    const std::size_t firstNonZero =
        std::min(text.find_first_not_of('0'), text.empty() ? 0 : text.size() - 1);
    const auto value = zeltools::ParseDecimal(text.substr(firstNonZero), least, most);
    if (!value) {
        throw UsageError(std::string(what) + " must be a number from " + std::to_string(least) +
                         " to " + std::to_string(most) + ", not '" + std::string(text) + "'");
    }
    return *value;
}

unsigned ParsePortName(std::string_view text)
{
    if (!zeltools::StartsWithComPrefix(text)) {
        throw UsageError("expected a port name COM<n>, not '" + std::string(text) + "'");
    }
    return ParseNumber(text.substr(zeltools::kComPrefix.size()), kFirstCom, kLastCom,
                       "the COM number");
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

// A round trip that fails, by its result or by a call, ends the run.
std::optional<Failure> RunOne(ComPort& port, const Options& options, unsigned sequence,
                              Summary& summary)
{
    summary.Attempted();
    try {
        const RoundTrip trip =
            Ping(port, options.Message, std::chrono::milliseconds(options.TimeoutMs));
        if (trip.Result != Outcome::Matched) {
            return Failure(ExitCode::Failed, TripFailure(port.Name(), sequence, trip, options));
        }
        summary.Matched(trip.Elapsed);
        std::cout << TripLine(port.Name(), sequence, trip) << std::endl;
    } catch (const Failure& failure) {
        return failure;
    }
    return std::nullopt;
}

int Run(const Options& options)
{
    ComPort port(options.ComNumber);
    port.SetLine(options.BaudRate);
    port.DiscardReceived();
    std::cout << HeaderLine(port.Name(), options) << std::endl;

    Summary summary(port.Name(), options.Count);
    std::optional<Failure> failure;
    for (unsigned sequence = 1; sequence <= options.Count && !failure; ++sequence) {
        failure = RunOne(port, options, sequence, summary);
    }
    std::cout << summary.Line() << std::endl;
    if (failure) {
        throw *failure;
    }
    return ToStatus(ExitCode::Ok);
}

}  // namespace
}  // namespace comping

int main(int argc, char** argv)
{
    using namespace comping;
    Options options;
    try {
        options = ParseOptions(argc, argv);
    } catch (const UsageError& error) {
        std::cerr << "comping: " << error.what() << "\n\n" << kHelp;
        return ToStatus(ExitCode::Usage);
    }
    if (options.Help) {
        std::cout << kHelp;
        return ToStatus(ExitCode::Ok);
    }
    try {
        return Run(options);
    } catch (const Failure& failure) {
        std::cerr << "comping: " << failure.what() << "\n";
        return ToStatus(failure.Code());
    } catch (const std::exception& error) {
        std::cerr << "comping: " << error.what() << "\n";
        return ToStatus(ExitCode::Failed);
    }
}
