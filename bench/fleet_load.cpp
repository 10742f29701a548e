// The load of a fleet of serial lines: every port an echo channel, written
// at a line rate and read back, every byte checked; one more port (the
// probe) does one-byte round trips all the while. One thread serves the
// fleet with poll(), another the probe (a ping every 10 ms).
//
//   fleet_load --seconds S --rate BYTES_PER_SECOND --probe TTY TTY...
//
// Prints one line: ports=N seconds=S moved_bytes=B lost=L corrupted=C
// probe_pings=P probe_median_us=M probe_p99_us=Q (moved counts both ways).
#include "bench_error.h"
#include "round_trip.h"
#include "tty_port.h"

#include <host/common/numbers.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace zelbench {
namespace {

using Clock = std::chrono::steady_clock;

// The writer tops every port up to its due count this often.
constexpr std::chrono::milliseconds kTick{10};
constexpr std::uint64_t kLongestRun = 24 * 3600;
constexpr std::uint64_t kFastestRate = 100'000'000;
// After the run, echoes still on their way get this long without progress.
constexpr std::chrono::seconds kDrainIdle{5};
constexpr std::size_t kReadBlock = 4096;
// The probe pings this often: a request/response protocol's pace, not a
// load of its own.
constexpr std::chrono::milliseconds kProbeInterval{10};

// Byte i of port p's stream: differs between ports and over 64 KiB, so a
// byte lost, doubled or crossed over from another port shows.
unsigned char PatternByte(std::size_t port, std::uint64_t i)
{
    return static_cast<unsigned char>((i * 131u) ^ (i >> 16) ^ (port * 29u + 7u));
}

struct Line {
    std::unique_ptr<TtyPort> Tty;
    std::size_t Index = 0;
    std::uint64_t Written = 0;
    std::uint64_t Read = 0;
    std::uint64_t Corrupted = 0;
};

void TopUp(Line& line, std::uint64_t due)
{
    unsigned char block[kReadBlock];
    while (line.Written < due) {
        const std::size_t count =
            static_cast<std::size_t>(std::min<std::uint64_t>(due - line.Written, sizeof block));
        for (std::size_t k = 0; k < count; ++k) {
            block[k] = PatternByte(line.Index, line.Written + k);
        }
        const ssize_t put = write(line.Tty->Fd(), block, count);
        if (put <= 0) {
            return;  // full: the port is behind, and catches up later
        }
        line.Written += static_cast<std::uint64_t>(put);
    }
}

// True when it read anything.
bool Drain(Line& line)
{
    unsigned char block[kReadBlock];
    bool progress = false;
    for (;;) {
        const ssize_t got = read(line.Tty->Fd(), block, sizeof block);
        if (got <= 0) {
            return progress;
        }
        for (ssize_t k = 0; k < got; ++k) {
            line.Corrupted += block[k] != PatternByte(line.Index, line.Read + k) ? 1 : 0;
        }
        line.Read += static_cast<std::uint64_t>(got);
        progress = true;
    }
}

void Serve(std::vector<Line>& lines, std::chrono::seconds runFor, double rate)
{
    std::vector<pollfd> fds;
    for (const Line& line : lines) {
        fds.push_back({line.Tty->Fd(), POLLIN, 0});
    }
    const Clock::time_point start = Clock::now();
    const Clock::time_point end = start + runFor;
    Clock::time_point nextTick = start;
    for (Clock::time_point now = start; now < end; now = Clock::now()) {
        // Writes go once a tick, not on every echo that wakes the loop: a
        // line-rate writer, not a stream of one-byte writes.
        if (now >= nextTick) {
            const double elapsed = std::chrono::duration<double>(now - start).count();
            const auto due = static_cast<std::uint64_t>(elapsed * rate);
            for (Line& line : lines) {
                TopUp(line, due);
            }
            nextTick += kTick;
        }
        const auto untilTick =
            std::chrono::duration_cast<std::chrono::milliseconds>(nextTick - Clock::now());
        poll(fds.data(), fds.size(),
             static_cast<int>(std::max<std::int64_t>(untilTick.count(), 0)));
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (fds[i].revents != 0) {
                Drain(lines[i]);
            }
        }
    }
    // The echoes still on their way.
    for (Clock::time_point lastProgress = Clock::now(); Clock::now() - lastProgress < kDrainIdle;) {
        bool pending = false;
        for (Line& line : lines) {
            if (Drain(line)) {
                lastProgress = Clock::now();
            }
            pending = pending || line.Read < line.Written;
        }
        if (!pending) {
            break;
        }
        poll(fds.data(), fds.size(), static_cast<int>(kTick.count()));
    }
}

struct ProbeResult {
    std::vector<double> RoundTripsUs;
    std::string Error;
};

void Probe(const TtyPort& tty, int stopFd, ProbeResult* result)
{
    try {
        for (unsigned char value = 0;; ++value) {
            const Clock::time_point sent = Clock::now();
            tty.WriteAll(std::string(1, static_cast<char>(value)), stopFd);
            char back = 0;
            tty.ReadSome(&back, 1, stopFd);
            if (static_cast<unsigned char>(back) != value) {
                throw std::runtime_error(tty.Path() + ": the probe's echo is wrong");
            }
            result->RoundTripsUs.push_back(
                std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
            pollfd stop{stopFd, POLLIN, 0};
            if (poll(&stop, 1, static_cast<int>(kProbeInterval.count())) > 0) {
                return;
            }
        }
    } catch (const Stopped&) {
    } catch (const std::exception& error) {
        result->Error = error.what();
    }
}

double Percentile(std::vector<double> values, double fraction)
{
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(fraction * static_cast<double>(values.size()));
    return values[std::min(rank, values.size() - 1)];
}

int Run(int argc, char** argv)
{
    std::chrono::seconds runFor{30};
    double rate = 11520;
    std::string probePath;
    std::vector<std::string> paths;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--seconds" && hasValue) {
            runFor =
                std::chrono::seconds(zel::ParseDecimal(argv[++i], 1, kLongestRun, "--seconds"));
        } else if (arg == "--rate" && hasValue) {
            rate = static_cast<double>(zel::ParseDecimal(argv[++i], 1, kFastestRate, "--rate"));
        } else if (arg == "--probe" && hasValue) {
            probePath = argv[++i];
        } else if (!arg.empty() && arg[0] == '-') {
            throw UsageError("unknown option " + arg);
        } else {
            paths.push_back(arg);
        }
    }
    if (probePath.empty() || paths.empty()) {
        throw UsageError("usage: fleet_load --seconds S --rate BYTES_PER_S --probe TTY TTY...");
    }

    std::vector<Line> lines(paths.size());
    for (std::size_t i = 0; i < paths.size(); ++i) {
        lines[i].Tty = std::make_unique<TtyPort>(paths[i]);
        lines[i].Index = i;
    }
    const TtyPort probe(probePath);
    Ping(probe, 0);  // the probe's connection is up before the clock starts
    const zel::UniqueFd stop(eventfd(0, EFD_CLOEXEC));
    ProbeResult probed;
    std::thread prober(Probe, std::cref(probe), stop.Get(), &probed);
    Serve(lines, runFor, rate);
    const std::uint64_t one = 1;
    if (write(stop.Get(), &one, sizeof one) != sizeof one) {
        throw ErrnoError("stopping the probe");
    }
    prober.join();

    std::uint64_t moved = 0, lost = 0, corrupted = 0;
    for (const Line& line : lines) {
        moved += line.Written + line.Read;
        lost += line.Written - std::min(line.Written, line.Read);
        corrupted += line.Corrupted;
    }
    std::printf(
        "ports=%zu seconds=%lld moved_bytes=%llu lost=%llu corrupted=%llu "
        "probe_pings=%zu probe_median_us=%.1f probe_p99_us=%.1f\n",
        lines.size(), static_cast<long long>(runFor.count()),
        static_cast<unsigned long long>(moved), static_cast<unsigned long long>(lost),
        static_cast<unsigned long long>(corrupted), probed.RoundTripsUs.size(),
        Percentile(probed.RoundTripsUs, 0.5), Percentile(probed.RoundTripsUs, 0.99));
    if (!probed.Error.empty()) {
        std::cerr << "fleet_load: probe: " << probed.Error << "\n";
        return 1;
    }
    return 0;
}

}  // namespace
}  // namespace zelbench

int main(int argc, char** argv)
{
    try {
        return zelbench::Run(argc, argv);
    } catch (const zelbench::UsageError& error) {
        std::cerr << "fleet_load: " << error.what() << "\n";
        return 2;
    } catch (const std::exception& error) {
        std::cerr << "fleet_load: " << error.what() << "\n";
        return 1;
    }
}
