// The load of a fleet of serial lines: every port an echo channel, written
// at a line rate and read back, every byte checked against the port's own
// stream; optionally one more port (the probe) doing one-byte round trips
// all the while. One thread serves the fleet with poll(), another the probe
// (a ping every 10 ms).
//
//   fleet_load --seconds S --rate BYTES_PER_SECOND [--probe TTY] [SOAK...] TTY...
//
// Soak options: --module SOCKET (once per module, in port order: module m's
// eight channels are ports 8m..8m+7) with --drops-per-minute D makes the
// modules drop connections at random (zelmodsim's reset, close, or reset
// and hold for a while then accept; now and then a control connection
// reset); --reopens-per-minute R makes the program close a port at random
// (once what it wrote has come back) and open it again, a new stream;
// --settle S keeps the last S seconds free of both; --seed N seeds it all.
//
// A pseudo-terminal cannot report a write that failed: bytes that are
// missing from a stream where a module dropped the port's connection are
// counted as dropped with it, not as lost, when the break comes within a
// minute of the drop. Prints one line: ports=N seconds=S moved_bytes=B
// lost=L corrupted=C (moved counts both ways; lost: bytes missing with no
// drop to explain them; corrupted: bytes that are not the next ones of their
// port's stream, or come twice), then the soak's figures and, with a probe,
// probe_pings=P probe_median_us=M probe_p99_us=Q.
#include "bench_error.h"
#include "round_trip.h"
#include "sim_stats.h"
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
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace zelbench {
namespace {

using Clock = std::chrono::steady_clock;

// The writer tops every port up to its due count this often, once at least
// kLeastWrite bytes are due: at a low rate, byte-sized writes on thousands
// of ports would cost more than the line rate means.
constexpr std::chrono::milliseconds kTick{10};
constexpr std::uint64_t kLeastWrite = 64;
constexpr std::uint64_t kLongestRun = 24 * 3600;
constexpr std::uint64_t kFastestRate = 100'000'000;
constexpr std::uint64_t kMostEventsPerMinute = 100'000;
// After the run (and before a port is closed), echoes still on their way
// get this long without progress.
constexpr std::chrono::seconds kDrainIdle{10};
constexpr std::size_t kReadBlock = 4096;
// The probe pings this often: a request/response protocol's pace, not a
// load of its own.
constexpr std::chrono::milliseconds kProbeInterval{10};
constexpr std::size_t kChannelsPerModule = 8;
// Bytes that, read after a break, find their place in the stream.
constexpr std::size_t kPlaceBytes = 16;
// A break this long after a drop on the port is no longer its doing.
constexpr std::chrono::seconds kDropExplains{60};
// A module away (holding its channel) for up to this long.
constexpr std::chrono::milliseconds kLongestAway{5000};
// A port closed by the program stays closed for up to this long.
constexpr std::chrono::milliseconds kLongestClosed{2000};

std::uint64_t Mix(std::uint64_t value)
{
    value += 0x9e3779b97f4a7c15ULL;
    value = (value ^ (value >> 30)) * 0xbf58476d1ce4e5b9ULL;
    value = (value ^ (value >> 27)) * 0x94d049bb133111ebULL;
    return value ^ (value >> 31);
}

// A stream's bytes: eight at a time from a mix of the stream's key and the
// block's number. Streams differ between ports and between a port's
// sessions, and any kPlaceBytes of one occur in it once: a byte lost,
// doubled or crossed over from another port or session shows.
class Pattern {
public:
    explicit Pattern(std::uint64_t key = 0) : key_(key) {}
    unsigned char At(std::uint64_t i)
    {
        if (i / 8 != block_) {
            block_ = i / 8;
            bits_ = Mix(key_ ^ Mix(block_));
        }
        return static_cast<unsigned char>(bits_ >> (8 * (i % 8)));
    }

private:
    std::uint64_t key_, block_ = UINT64_MAX, bits_ = 0;
};

struct Options {
    std::chrono::seconds RunFor{30};
    double Rate = 11520;
    std::string ProbePath;
    std::vector<std::string> Paths;
    std::vector<std::string> Modules;
    double DropsPerMinute = 0;
    double ReopensPerMinute = 0;
    std::chrono::seconds Settle{0};
    std::uint64_t Seed = 1;
};

// What the modules did to one port's connection; the serve thread reads it.
struct DropRecord {
    std::atomic<std::uint32_t> Count{0};
    std::atomic<Clock::rep> Last{0};
};

enum class LineState { Open, Draining, Closed };

struct Totals {
    std::uint64_t Moved = 0, Lost = 0, Corrupted = 0, Dropped = 0;
    std::uint64_t Breaks = 0, Unexplained = 0, Reopens = 0, ReopenFailures = 0;
    std::uint64_t Unresumed = 0;  // ports whose stream had not come back whole at the end
};

class Line {
public:
    Line(std::string path, std::size_t index, std::uint64_t seed, const DropRecord& drops)
        : path_(std::move(path)), index_(index), seed_(seed), drops_(drops)
    {
        Open();
    }

    int Fd() const { return tty_ ? tty_->Fd() : -1; }
    LineState State() const { return state_; }
    bool CaughtUp() const { return read_ == written_ && unplaced_.empty(); }

    // Writes the stream up to where the line rate has brought it since the
    // session began.
    void TopUp(Clock::time_point now, double rate)
    {
        const auto due =
            static_cast<std::uint64_t>(std::chrono::duration<double>(now - opened_).count() * rate);
        if (due < written_ + kLeastWrite) {
            return;
        }
        unsigned char block[kReadBlock];
        while (state_ == LineState::Open && written_ < due) {
            const std::size_t count =
                static_cast<std::size_t>(std::min<std::uint64_t>(due - written_, sizeof block));
            for (std::size_t k = 0; k < count; ++k) {
                block[k] = writing_.At(written_ + k);
            }
            const ssize_t put = write(Fd(), block, count);
            if (put <= 0) {
                return;  // full: the port is behind, and catches up later
            }
            written_ += static_cast<std::uint64_t>(put);
            totals_.Moved += static_cast<std::uint64_t>(put);
        }
    }

    // Reads what has come and checks it; true when anything came.
    bool Drain(bool final = false)
    {
        unsigned char block[kReadBlock];
        bool progress = false;
        for (ssize_t got; Fd() >= 0 && (got = read(Fd(), block, sizeof block)) > 0;) {
            unplaced_.append(reinterpret_cast<const char*>(block), static_cast<std::size_t>(got));
            totals_.Moved += static_cast<std::uint64_t>(got);
            progress = true;
        }
        Place(final);
        return progress;
    }

    // The program leaves the port once what it wrote has come back.
    void Leave(Clock::time_point now)
    {
        state_ = LineState::Draining;
        lastProgress_ = now;
    }

    // Drives a leaving or closed port on: a leaving one closes once what it
    // wrote has come back (or nothing more comes), a closed one opens again.
    void Step(Clock::time_point now, std::mt19937_64& random)
    {
        if (state_ == LineState::Draining) {
            if (Drain()) {
                lastProgress_ = now;
            }
            if (CaughtUp() || now - lastProgress_ >= kDrainIdle) {
                Place(true);
                Account(written_ - read_, now);  // what never came back
                tty_.reset();
                state_ = LineState::Closed;
                reopenAt_ = now + std::chrono::milliseconds(random() % kLongestClosed.count());
            }
        } else if (state_ == LineState::Closed && now >= reopenAt_) {
            Open();
        }
    }

    // After the run: whatever has not come back is missing, and the port's
    // stream did not resume.
    Totals Finish(Clock::time_point now)
    {
        Place(true);
        totals_.Unresumed += state_ != LineState::Open || !CaughtUp() ? 1 : 0;
        Account(written_ - read_, now);
        return totals_;
    }

private:
    // A new session: a new stream from byte 0.
    void Open()
    {
        try {
            tty_ = std::make_unique<TtyPort>(path_);
        } catch (const std::exception&) {
            ++totals_.ReopenFailures;
            reopenAt_ = Clock::now() + kLongestClosed;
            return;
        }
        key_ = Mix(seed_ ^ Mix(index_ * kChannelsPerModule * 1024 + ++session_));
        writing_ = reading_ = Pattern(key_);
        written_ = read_ = 0;
        unplaced_.clear();
        state_ = LineState::Open;
        opened_ = Clock::now();
        totals_.Reopens += session_ > 1 ? 1 : 0;
    }

    // Matches what has come against the stream: byte by byte while it
    // follows on; after a break, kPlaceBytes find where it goes on. Bytes
    // that belong nowhere ahead (doubled, crossed over, garbage) are
    // corrupted. Short of kPlaceBytes, the rest waits for more unless final.
    void Place(bool final)
    {
        std::size_t k = 0;
        while (k < unplaced_.size()) {
            const auto byte = static_cast<unsigned char>(unplaced_[k]);
            if (read_ < written_ && byte == reading_.At(read_)) {
                ++read_;
                ++k;
                continue;
            }
            if (unplaced_.size() - k < kPlaceBytes && !final) {
                break;
            }
            const std::optional<std::uint64_t> at = Find(k);
            if (at) {
                Account(*at - read_, Clock::now());
                read_ = *at;
            } else {
                ++totals_.Corrupted;
                ++k;
            }
        }
        unplaced_.erase(0, k);
    }

    std::optional<std::uint64_t> Find(std::size_t k) const
    {
        const std::size_t length = std::min(kPlaceBytes, unplaced_.size() - k);
        Pattern stream(key_);
        for (std::uint64_t at = read_ + 1; at + length <= written_; ++at) {
            std::size_t same = 0;
            while (same < length &&
                   static_cast<unsigned char>(unplaced_[k + same]) == stream.At(at + same)) {
                ++same;
            }
            if (same == length) {
                return at;
            }
        }
        return std::nullopt;
    }

    // A break of count bytes: dropped with a connection the module dropped
    // lately (each drop explains one break), or lost.
    void Account(std::uint64_t count, Clock::time_point now)
    {
        if (count == 0) {
            return;
        }
        ++totals_.Breaks;
        const std::uint32_t drops = drops_.Count.load();
        const Clock::time_point last{Clock::duration(drops_.Last.load())};
        if (drops != dropsUsed_ && now - last < kDropExplains) {
            dropsUsed_ = drops;
            totals_.Dropped += count;
        } else {
            ++totals_.Unexplained;
            totals_.Lost += count;
        }
    }

    std::string path_;
    std::size_t index_;
    std::uint64_t seed_;
    const DropRecord& drops_;
    std::unique_ptr<TtyPort> tty_;
    LineState state_ = LineState::Closed;
    std::uint64_t session_ = 0, key_ = 0, written_ = 0, read_ = 0;
    Pattern writing_, reading_;
    std::string unplaced_;
    std::uint32_t dropsUsed_ = 0;
    Clock::time_point opened_, lastProgress_, reopenAt_;
    Totals totals_;
};

// Seconds to the next of events coming at perMinute on average.
std::chrono::duration<double> NextIn(double perMinute, std::mt19937_64& random)
{
    return std::chrono::duration<double>(
        std::exponential_distribution<double>(perMinute / 60.0)(random));
}

struct DropCounts {
    std::uint64_t Resets = 0, Closes = 0, Aways = 0, ControlResets = 0, Missed = 0;
};

// One drop on a random port's connection, by kind (of 10): a reset of the
// module's control connection (1), which drops no data; a reset (4); a
// graceful close (3); or away (2): a reset, then new connections wait
// unaccepted until the returned time.
std::optional<Clock::time_point> DropOne(std::size_t port, SimulatorCommands& module,
                                         DropRecord& record, std::mt19937_64& random,
                                         DropCounts& counts)
{
    const std::string channel = std::to_string(port % kChannelsPerModule + 1);
    const unsigned kind = static_cast<unsigned>(random() % 10);
    if (kind == 0) {
        counts.ControlResets += module.Ask("reset-control") == "ok" ? 1 : 0;
        return std::nullopt;
    }
    // Counted before the drop: the break it makes may be read at once.
    record.Last = Clock::now().time_since_epoch().count();
    ++record.Count;
    if (module.Ask((kind <= 7 && kind >= 5 ? "close " : "reset ") + channel) != "ok") {
        --record.Count;  // the channel had no connection
        ++counts.Missed;
        return std::nullopt;
    }
    if (kind <= 4) {
        ++counts.Resets;
        return std::nullopt;
    }
    if (kind <= 7) {
        ++counts.Closes;
        return std::nullopt;
    }
    ++counts.Aways;
    module.Ask("hold " + channel);
    return Clock::now() + std::chrono::milliseconds(random() % kLongestAway.count());
}

// True when stopFd is raised before until (never, for the clock's end).
bool StopRaised(int stopFd, Clock::time_point until)
{
    pollfd stop{stopFd, POLLIN, 0};
    const int timeoutMs =
        until == Clock::time_point::max()
            ? -1
            : static_cast<int>(std::max<Clock::rep>(
                  0, std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count()));
    return poll(&stop, 1, timeoutMs) > 0;
}

// The modules drop connections at random (none from quietAt on) until stop
// is raised; every module away comes back.
DropCounts Chaos(const Options& options, std::vector<DropRecord>& records,
                 Clock::time_point quietAt, int stopFd, std::string* error)
{
    DropCounts counts;
    std::vector<std::unique_ptr<SimulatorCommands>> modules;
    std::vector<std::pair<Clock::time_point, std::size_t>> aways;  // until when, which port
    const auto back = [&](std::size_t port) {
        modules[port / kChannelsPerModule]->Ask("accept " +
                                                std::to_string(port % kChannelsPerModule + 1));
    };
    try {
        for (const std::string& path : options.Modules) {
            modules.push_back(std::make_unique<SimulatorCommands>(path));
        }
        std::mt19937_64 random(Mix(options.Seed ^ 0xc4a05));
        Clock::time_point next = Clock::now();
        for (;;) {
            next +=
                std::chrono::duration_cast<Clock::duration>(NextIn(options.DropsPerMinute, random));
            const Clock::time_point dropAt = next < quietAt ? next : Clock::time_point::max();
            // The modules away due back before the drop come back first.
            for (;;) {
                std::sort(aways.begin(), aways.end());
                const Clock::time_point wake =
                    aways.empty() ? dropAt : std::min(dropAt, aways.front().first);
                if (StopRaised(stopFd, wake)) {
                    for (const auto& away : aways) {
                        back(away.second);
                    }
                    return counts;
                }
                if (aways.empty() || dropAt < aways.front().first) {
                    break;
                }
                back(aways.front().second);
                aways.erase(aways.begin());
            }
            const std::size_t port = random() % options.Paths.size();
            if (port / kChannelsPerModule < modules.size()) {
                const auto until = DropOne(port, *modules[port / kChannelsPerModule], records[port],
                                           random, counts);
                if (until) {
                    aways.emplace_back(*until, port);
                }
            }
        }
    } catch (const std::exception& failure) {
        *error = failure.what();
    }
    return counts;
}

Totals Serve(std::vector<std::unique_ptr<Line>>& lines, const Options& options)
{
    std::mt19937_64 random(Mix(options.Seed ^ 0x5e55));
    std::vector<pollfd> fds(lines.size());
    const Clock::time_point start = Clock::now();
    const Clock::time_point end = start + options.RunFor;
    const Clock::time_point quietAt = end - options.Settle;
    Clock::time_point nextLeave = options.ReopensPerMinute > 0
                                      ? start + std::chrono::duration_cast<Clock::duration>(
                                                    NextIn(options.ReopensPerMinute, random))
                                      : Clock::time_point::max();
    Clock::time_point nextTick = start;
    for (Clock::time_point now = start; now < end; now = Clock::now()) {
        if (now >= nextLeave && now < quietAt) {
            Line& leaving = *lines[random() % lines.size()];
            if (leaving.State() == LineState::Open) {
                leaving.Leave(now);
            }
            nextLeave += std::chrono::duration_cast<Clock::duration>(
                NextIn(options.ReopensPerMinute, random));
        }
        // Writes go once a tick, not on every echo that wakes the loop: a
        // line-rate writer, not a stream of small writes.
        const bool tick = now >= nextTick;
        if (tick) {
            nextTick += kTick;
        }
        for (std::size_t i = 0; i < lines.size(); ++i) {
            lines[i]->Step(now, random);
            if (tick) {
                lines[i]->TopUp(now, options.Rate);
            }
            fds[i] = {lines[i]->Fd(), POLLIN, 0};
        }
        const auto untilTick =
            std::chrono::duration_cast<std::chrono::milliseconds>(nextTick - Clock::now());
        poll(fds.data(), fds.size(),
             static_cast<int>(std::max<std::int64_t>(untilTick.count(), 0)));
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (fds[i].revents != 0) {
                lines[i]->Drain();
            }
        }
    }
    // The echoes still on their way; leaving ports finish leaving.
    for (Clock::time_point lastProgress = Clock::now(); Clock::now() - lastProgress < kDrainIdle;) {
        bool pending = false;
        for (const auto& line : lines) {
            line->Step(Clock::now(), random);
            if (line->Drain()) {
                lastProgress = Clock::now();
            }
            pending = pending || line->State() != LineState::Open || !line->CaughtUp();
        }
        if (!pending) {
            break;
        }
        for (std::size_t i = 0; i < lines.size(); ++i) {
            fds[i] = {lines[i]->Fd(), POLLIN, 0};
        }
        poll(fds.data(), fds.size(), static_cast<int>(kTick.count()));
    }
    Totals totals;
    for (const auto& line : lines) {
        const Totals one = line->Finish(Clock::now());
        totals.Moved += one.Moved;
        totals.Lost += one.Lost;
        totals.Corrupted += one.Corrupted;
        totals.Dropped += one.Dropped;
        totals.Breaks += one.Breaks;
        totals.Unexplained += one.Unexplained;
        totals.Reopens += one.Reopens;
        totals.ReopenFailures += one.ReopenFailures;
        totals.Unresumed += one.Unresumed;
    }
    return totals;
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

Options ParseOptions(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--seconds" && hasValue) {
            options.RunFor =
                std::chrono::seconds(zel::ParseDecimal(argv[++i], 1, kLongestRun, "--seconds"));
        } else if (arg == "--rate" && hasValue) {
            options.Rate =
                static_cast<double>(zel::ParseDecimal(argv[++i], 1, kFastestRate, "--rate"));
        } else if (arg == "--probe" && hasValue) {
            options.ProbePath = argv[++i];
        } else if (arg == "--module" && hasValue) {
            options.Modules.push_back(argv[++i]);
        } else if (arg == "--drops-per-minute" && hasValue) {
            options.DropsPerMinute = static_cast<double>(
                zel::ParseDecimal(argv[++i], 0, kMostEventsPerMinute, "--drops-per-minute"));
        } else if (arg == "--reopens-per-minute" && hasValue) {
            options.ReopensPerMinute = static_cast<double>(
                zel::ParseDecimal(argv[++i], 0, kMostEventsPerMinute, "--reopens-per-minute"));
        } else if (arg == "--settle" && hasValue) {
            options.Settle =
                std::chrono::seconds(zel::ParseDecimal(argv[++i], 0, kLongestRun, "--settle"));
        } else if (arg == "--seed" && hasValue) {
            options.Seed = zel::ParseDecimal(argv[++i], 0, UINT64_MAX, "--seed");
        } else if (!arg.empty() && arg[0] == '-') {
            throw UsageError("unknown option " + arg);
        } else {
            options.Paths.push_back(arg);
        }
    }
    if (options.Paths.empty()) {
        throw UsageError(
            "usage: fleet_load --seconds S --rate BYTES_PER_S [--probe TTY] [--module SOCKET "
            "...] [--drops-per-minute D] [--reopens-per-minute R] [--settle S] [--seed N] TTY...");
    }
    if (options.DropsPerMinute > 0 && options.Modules.empty()) {
        throw UsageError("--drops-per-minute needs the modules' --module sockets");
    }
    if (options.Settle >= options.RunFor &&
        (options.DropsPerMinute > 0 || options.ReopensPerMinute > 0)) {
        throw UsageError("--settle must be shorter than --seconds");
    }
    return options;
}

int Run(int argc, char** argv)
{
    const Options options = ParseOptions(argc, argv);
    std::vector<DropRecord> drops(options.Paths.size());
    std::vector<std::unique_ptr<Line>> lines;
    for (std::size_t i = 0; i < options.Paths.size(); ++i) {
        lines.push_back(std::make_unique<Line>(options.Paths[i], i, options.Seed, drops[i]));
        if (lines.back()->Fd() < 0) {
            throw std::runtime_error("cannot open " + options.Paths[i]);
        }
    }
    std::optional<TtyPort> probe;
    if (!options.ProbePath.empty()) {
        probe.emplace(options.ProbePath);
        Ping(*probe, 0);  // the probe's connection is up before the clock starts
    }
    const zel::UniqueFd stop(eventfd(0, EFD_CLOEXEC));
    ProbeResult probed;
    std::thread prober;
    if (probe) {
        prober = std::thread(Probe, std::cref(*probe), stop.Get(), &probed);
    }
    DropCounts dropped;
    std::string chaosError;
    std::thread chaos;
    if (options.DropsPerMinute > 0) {
        const Clock::time_point quietAt = Clock::now() + options.RunFor - options.Settle;
        chaos =
            std::thread([&] { dropped = Chaos(options, drops, quietAt, stop.Get(), &chaosError); });
    }
    const Totals totals = Serve(lines, options);
    const std::uint64_t one = 1;
    if (write(stop.Get(), &one, sizeof one) != sizeof one) {
        throw ErrnoError("stopping the probe");
    }
    if (prober.joinable()) {
        prober.join();
    }
    if (chaos.joinable()) {
        chaos.join();
    }

    std::printf("ports=%zu seconds=%lld moved_bytes=%llu lost=%llu corrupted=%llu", lines.size(),
                static_cast<long long>(options.RunFor.count()),
                static_cast<unsigned long long>(totals.Moved),
                static_cast<unsigned long long>(totals.Lost),
                static_cast<unsigned long long>(totals.Corrupted));
    if (options.DropsPerMinute > 0 || options.ReopensPerMinute > 0) {
        std::printf(
            " seed=%llu drops=%llu resets=%llu closes=%llu aways=%llu control_resets=%llu "
            "breaks=%llu unexplained_breaks=%llu dropped_bytes=%llu reopens=%llu "
            "reopen_failures=%llu unresumed=%llu",
            static_cast<unsigned long long>(options.Seed),
            static_cast<unsigned long long>(dropped.Resets + dropped.Closes + dropped.Aways),
            static_cast<unsigned long long>(dropped.Resets),
            static_cast<unsigned long long>(dropped.Closes),
            static_cast<unsigned long long>(dropped.Aways),
            static_cast<unsigned long long>(dropped.ControlResets),
            static_cast<unsigned long long>(totals.Breaks),
            static_cast<unsigned long long>(totals.Unexplained),
            static_cast<unsigned long long>(totals.Dropped),
            static_cast<unsigned long long>(totals.Reopens),
            static_cast<unsigned long long>(totals.ReopenFailures),
            static_cast<unsigned long long>(totals.Unresumed));
    }
    if (probe) {
        std::printf(" probe_pings=%zu probe_median_us=%.1f probe_p99_us=%.1f",
                    probed.RoundTripsUs.size(), Percentile(probed.RoundTripsUs, 0.5),
                    Percentile(probed.RoundTripsUs, 0.99));
    }
    std::printf("\n");
    if (!probed.Error.empty()) {
        std::cerr << "fleet_load: probe: " << probed.Error << "\n";
        return 1;
    }
    if (!chaosError.empty()) {
        std::cerr << "fleet_load: modules: " << chaosError << "\n";
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
