// tty_bench: latency and throughput of one serial port device (a terminal)
// whose far end is a zelmodsim channel. See --help and README.md.
#include "bench_error.h"
#include "round_trip.h"
#include "sim_stats.h"
#include "transfers.h"
#include "tty_port.h"

#include <csignal>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <string_view>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr std::size_t kDefaultPings = 1000;
constexpr std::size_t kDefaultWarmup = 100;
constexpr std::size_t kDefaultBytes = std::size_t{16} * 1024 * 1024;
constexpr int kFixedPointDigits = 1;
constexpr int kSecondsDigits = 4;
// argv: the program, the measurement, the terminal, then options.
constexpr int kFirstOption = 3;
constexpr std::string_view kOptionPrefix = "--";

constexpr const char kHelp[] = R"(usage: tty_bench MEASUREMENT TTY [OPTION...]

Opens TTY (O_RDWR | O_NOCTTY), sets raw mode at 115200 baud and measures one
thing against a zelmodsim channel. Prints one line of NAME=VALUE fields;
MB is 10^6 bytes.

  rtt TTY [--pings N] [--warmup N]
        1-byte round trips against an echo channel: N timed pings (default
        1000) after untimed ones (default 100).
        rtt pings=N median_us=M p99_us=P
  echo TTY [--bytes N]
        one thread writes N bytes (default 16 MiB) to an echo channel while
        another reads them back and checks them; N bytes went each way.
        echo bytes=N seconds=S mb_per_s=R
  upload TTY --stats SOCKET --log FILE --channel CH [--bytes N]
        N bytes to a sink channel (CH, 1 = first), timed until the
        simulator's stats on its command socket SOCKET count all of them;
        they are asked each time its standard output FILE (a file) grows.
        upload bytes=N seconds=S mb_per_s=R
  download TTY --expect FILE
        reads a source channel's file (sent on each connect) and checks it;
        timed from the first block read to the last byte.
        download bytes=N seconds=S mb_per_s=R

Exit status: 0 measured, 1 the measurement failed, 2 bad command line.
)";

using Flags = std::map<std::string, std::string>;

struct Command {
    std::string Measurement;
    std::string Tty;
    Flags Options;
};

Command ParseCommand(int argc, char** argv)
{
    if (argc < kFirstOption) {
        throw zelbench::UsageError("a measurement and a terminal are needed");
    }
    Command command{argv[1], argv[2], {}};
    for (int i = kFirstOption; i < argc; i += 2) {
        const std::string name = argv[i];
        if (name.rfind(kOptionPrefix, 0) != 0 || i + 1 == argc) {
            throw zelbench::UsageError("expected --OPTION VALUE at '" + name + "'");
        }
        command.Options[name.substr(kOptionPrefix.size())] = argv[i + 1];
    }
    return command;
}

std::string Take(Flags& flags, const std::string& name, const std::string& fallback = {})
{
    const auto found = flags.find(name);
    if (found == flags.end()) {
        if (fallback.empty()) {
            throw zelbench::UsageError("--" + name + " is needed");
        }
        return fallback;
    }
    std::string value = found->second;
    flags.erase(found);
    return value;
}

std::size_t ParseCount(const std::string& name, const std::string& text)
{
    std::size_t used = 0;
    unsigned long long value = 0;
    try {
        value = std::stoull(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != text.size() || value == 0 || text[0] == '-') {
        throw zelbench::UsageError("--" + name + " needs a positive number, not '" + text + "'");
    }
    return static_cast<std::size_t>(value);
}

std::size_t TakeCount(Flags& flags, const std::string& name, std::size_t fallback)
{
    return ParseCount(name, Take(flags, name, std::to_string(fallback)));
}

std::string ReadFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw std::runtime_error("cannot open " + path);
    }
    std::string contents((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (contents.empty()) {
        throw std::runtime_error(path + " is empty");
    }
    return contents;
}

std::string Fixed(double value, int digits)
{
    std::ostringstream text;
    text.setf(std::ios::fixed);
    text.precision(digits);
    text << value;
    return text.str();
}

std::string TransferLine(const std::string& name, const zelbench::TransferResult& result)
{
    return name + " bytes=" + std::to_string(result.Bytes) +
           " seconds=" + Fixed(result.Seconds, kSecondsDigits) +
           " mb_per_s=" + Fixed(result.MegabytesPerSecond(), kFixedPointDigits);
}

using Measurement = std::function<std::string()>;

// Every option is checked before anything is measured.
Measurement Plan(Command& command)
{
    Flags& flags = command.Options;
    const std::string tty = command.Tty;
    if (command.Measurement == "rtt") {
        const std::size_t pings = TakeCount(flags, "pings", kDefaultPings);
        const std::size_t warmup = TakeCount(flags, "warmup", kDefaultWarmup);
        return [=] {
            const auto result = zelbench::MeasureRoundTrip(zelbench::TtyPort(tty), pings, warmup);
            return "rtt pings=" + std::to_string(result.Pings) +
                   " median_us=" + Fixed(result.MedianUs, kFixedPointDigits) +
                   " p99_us=" + Fixed(result.P99Us, kFixedPointDigits);
        };
    }
    if (command.Measurement == "echo") {
        const std::size_t bytes = TakeCount(flags, "bytes", kDefaultBytes);
        return [=] {
            return TransferLine("echo", zelbench::MeasureEcho(zelbench::TtyPort(tty), bytes));
        };
    }
    if (command.Measurement == "upload") {
        const std::string socket = Take(flags, "stats");
        const std::string log = Take(flags, "log");
        const auto channel = static_cast<int>(ParseCount("channel", Take(flags, "channel")));
        const std::size_t bytes = TakeCount(flags, "bytes", kDefaultBytes);
        return [=] {
            zelbench::SimulatorStats stats(socket, log);
            return TransferLine(
                "upload", zelbench::MeasureUpload(zelbench::TtyPort(tty), stats, channel, bytes));
        };
    }
    if (command.Measurement == "download") {
        const std::string expect = Take(flags, "expect");
        return [=] {
            return TransferLine(
                "download", zelbench::MeasureDownload(zelbench::TtyPort(tty), ReadFile(expect)));
        };
    }
    throw zelbench::UsageError("unknown measurement '" + command.Measurement + "'");
}

void RejectLeftovers(const Flags& flags)
{
    if (!flags.empty()) {
        throw zelbench::UsageError("unknown or misplaced option --" + flags.begin()->first);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        std::fputs(kHelp, stdout);
        return kExitOk;
    }
    // A port whose far end went away shows up as a write error, not a signal.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        Command command = ParseCommand(argc, argv);
        const Measurement measure = Plan(command);
        RejectLeftovers(command.Options);
        std::printf("%s\n", measure().c_str());
        return kExitOk;
    } catch (const zelbench::UsageError& error) {
        std::fprintf(stderr, "tty_bench: %s\nTry 'tty_bench --help'.\n", error.what());
        return kExitUsage;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tty_bench: %s\n", error.what());
        return kExitFailure;
    }
}
