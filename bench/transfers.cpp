#include "transfers.h"

#include "joining_thread.h"
#include "round_trip.h"
#include "stop_signal.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <random>
#include <stdexcept>
#include <vector>

namespace zelbench {
namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

constexpr double kBytesPerMegabyte = 1e6;
constexpr std::size_t kReadBlock = std::size_t{64} * 1024;
// Written and confirmed before an upload's clock starts: the port is
// connected and the path is warm.
constexpr std::size_t kPrimerBytes = 4096;
// Pings before an echo transfer, for the same reason.
constexpr unsigned kEchoPrimerPings = 16;
constexpr std::mt19937::result_type kPatternSeed = 0x5a17c0de;

double SecondsSince(Clock::time_point start)
{
    return Seconds(Clock::now() - start).count();
}

// The next bytes, at most left; a failure says how far the transfer got.
std::size_t ReadMore(const TtyPort& tty, std::vector<char>& block, std::size_t left,
                     std::size_t done, int stopFd)
{
    try {
        return tty.ReadSome(block.data(), std::min(block.size(), left), stopFd);
    } catch (const Stopped&) {
        throw;
    } catch (const std::exception& error) {
        throw std::runtime_error(std::string(error.what()) + " (after " + std::to_string(done) +
                                 " of " + std::to_string(done + left) + " bytes)");
    }
}

// Reads expected.size() bytes (stopping early when stopFd fires) and checks
// each against expected; the first block may already have been taken.
void ReadAndCheck(const TtyPort& tty, std::string_view expected, std::size_t offset, int stopFd)
{
    std::vector<char> block(kReadBlock);
    while (offset < expected.size()) {
        const std::size_t got = ReadMore(tty, block, expected.size() - offset, offset, stopFd);
        if (std::memcmp(block.data(), expected.data() + offset, got) != 0) {
            throw std::runtime_error(tty.Path() + ": wrong bytes within offset " +
                                     std::to_string(offset) + ".." + std::to_string(offset + got));
        }
        offset += got;
    }
}

}  // namespace

double TransferResult::MegabytesPerSecond() const
{
    return Seconds > 0 ? static_cast<double>(Bytes) / kBytesPerMegabyte / Seconds : 0;
}

std::string PatternBytes(std::size_t bytes)
{
    std::mt19937 generator(kPatternSeed);
    std::string pattern(bytes, '\0');
    for (char& byte : pattern) {
        byte = static_cast<char>(generator());
    }
    return pattern;
}

TransferResult MeasureUpload(const TtyPort& tty, SimulatorStats& stats, int channel,
                             std::size_t bytes)
{
    const std::uint64_t before = stats.Received(channel);
    tty.WriteAll(PatternBytes(kPrimerBytes));
    stats.AwaitReceived(channel, before + kPrimerBytes);

    const std::string data = PatternBytes(bytes);
    const auto start = Clock::now();
    tty.WriteAll(data);
    stats.AwaitReceived(channel, before + kPrimerBytes + bytes);
    return {bytes, SecondsSince(start)};
}

TransferResult MeasureDownload(const TtyPort& tty, const std::string& expected)
{
    // The clock starts at the first block: how soon the port connects, and
    // what was queued before this program opened it, are not throughput.
    std::vector<char> first(kReadBlock);
    const std::size_t got = tty.ReadSome(first.data(), std::min(first.size(), expected.size()));
    if (std::memcmp(first.data(), expected.data(), got) != 0) {
        throw std::runtime_error(tty.Path() + ": wrong bytes within the first " +
                                 std::to_string(got));
    }
    const auto start = Clock::now();
    ReadAndCheck(tty, expected, got, kNoStop);
    return {expected.size() - got, SecondsSince(start)};
}

TransferResult MeasureEcho(const TtyPort& tty, std::size_t bytes)
{
    for (unsigned i = 0; i < kEchoPrimerPings; ++i) {
        Ping(tty, static_cast<unsigned char>(i));
    }
    const std::string data = PatternBytes(bytes);
    const StopSignal stop;
    std::exception_ptr writeFailure;
    std::exception_ptr readFailure;
    const auto start = Clock::now();
    double seconds = 0;
    {
        const JoiningThread writer([&] {
            try {
                tty.WriteAll(data, stop.Fd());
            } catch (const Stopped&) {
                // the reader failed: its failure is the one reported
            } catch (...) {
                writeFailure = std::current_exception();
                stop.Raise();
            }
        });
        try {
            ReadAndCheck(tty, data, 0, stop.Fd());
            seconds = SecondsSince(start);
        } catch (const Stopped&) {
            // the writer failed: its failure is the one reported
        } catch (...) {
            readFailure = std::current_exception();
            stop.Raise();
        }
    }
    if (writeFailure) {
        std::rethrow_exception(writeFailure);
    }
    if (readFailure) {
        std::rethrow_exception(readFailure);
    }
    return {bytes, seconds};
}

}  // namespace zelbench
