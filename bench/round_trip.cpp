#include "round_trip.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace zelbench {
namespace {

using Clock = std::chrono::steady_clock;
using Microseconds = std::chrono::duration<double, std::micro>;

constexpr double kP99 = 0.99;
constexpr unsigned kByteValues = 256;

std::string Hex(unsigned char value)
{
    constexpr std::string_view kDigits = "0123456789abcdef";
    constexpr unsigned kNibble = 4;
    constexpr unsigned kLowNibble = 0xf;
    return std::string("0x") + kDigits[value >> kNibble] + kDigits[value & kLowNibble];
}

double Median(const std::vector<double>& sorted)
{
    const std::size_t middle = sorted.size() / 2;
    return sorted.size() % 2 != 0 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
}

// Nearest rank: the smallest sample with at least 99 % of them at or below.
double P99(const std::vector<double>& sorted)
{
    const auto rank =
        static_cast<std::size_t>(std::ceil(kP99 * static_cast<double>(sorted.size())));
    return sorted[std::max<std::size_t>(rank, 1) - 1];
}

}  // namespace

void Ping(const TtyPort& tty, unsigned char value)
{
    const char sent = static_cast<char>(value);
    tty.WriteAll(std::string_view(&sent, 1));
    char echoed = 0;
    tty.ReadSome(&echoed, 1);
    if (echoed != sent) {
        throw std::runtime_error(tty.Path() + ": sent " + Hex(value) + ", the echo was " +
                                 Hex(static_cast<unsigned char>(echoed)));
    }
}

RoundTripResult MeasureRoundTrip(const TtyPort& tty, std::size_t pings, std::size_t warmup)
{
    for (std::size_t i = 0; i < warmup; ++i) {
        Ping(tty, static_cast<unsigned char>(i % kByteValues));
    }
    std::vector<double> samples;
    samples.reserve(pings);
    for (std::size_t i = 0; i < pings; ++i) {
        const auto start = Clock::now();
        Ping(tty, static_cast<unsigned char>(i % kByteValues));
        samples.push_back(Microseconds(Clock::now() - start).count());
    }
    std::sort(samples.begin(), samples.end());
    return {pings, Median(samples), P99(samples)};
}

}  // namespace zelbench
