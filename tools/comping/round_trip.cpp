#include "round_trip.h"

namespace comping {
namespace {

using Clock = std::chrono::steady_clock;

bool IsPrefixOf(const std::string& part, const std::string& whole)
{
    return whole.compare(0, part.size(), part) == 0;
}

// All of it is back, or a byte differs.
bool Decided(const std::string& back, const std::string& message)
{
    return back.size() >= message.size() || !IsPrefixOf(back, message);
}

Outcome Judge(const std::string& back, const std::string& message)
{
    if (back == message) {
        return Outcome::Matched;
    }
    return IsPrefixOf(back, message) ? Outcome::TimedOut : Outcome::Mismatched;
}

}  // namespace

RoundTrip Ping(ComPort& port, const std::string& message, std::chrono::milliseconds timeout)
{
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = start + timeout;
    port.WriteAll(message);
    // Each read asks for what is still missing, so the driver ends it as soon
    // as an arrival leaves no more than that held, and it never takes more
    // than this message's echo. A differing byte ends the round trip at once.
    RoundTrip trip;
    while (!Decided(trip.Back, message)) {
        const Clock::duration left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) {
            break;
        }
        trip.Back += port.ReadSome(message.size() - trip.Back.size(),
                                   std::chrono::ceil<std::chrono::milliseconds>(left));
    }
    trip.Elapsed = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
    trip.Result = Judge(trip.Back, message);
    return trip;
}

}  // namespace comping
