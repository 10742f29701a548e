// What comping prints.
#include "comping.h"

#include <algorithm>

namespace comping {
namespace {

constexpr char kFirstPrintable = ' ';
constexpr char kLastPrintable = '~';
constexpr const char kHexDigits[] = "0123456789abcdef";
constexpr unsigned kNibbleBits = 4;
constexpr unsigned kNibbleMask = 0xF;

std::string Escaped(char byte)
{
    switch (byte) {
    case '"':
        return "\\\"";
    case '\\':
        return "\\\\";
    case '\n':
        return "\\n";
    case '\r':
        return "\\r";
    case '\t':
        return "\\t";
    default:
        break;
    }
    if (byte >= kFirstPrintable && byte <= kLastPrintable) {
        return std::string(1, byte);
    }
    const auto value = static_cast<unsigned char>(byte);
    return {'\\', 'x', kHexDigits[value >> kNibbleBits], kHexDigits[value & kNibbleMask]};
}

// "1 round trip", "2 round trips".
std::string Counted(std::size_t count, const std::string& noun)
{
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

std::string Micros(std::chrono::microseconds duration)
{
    return std::to_string(duration.count());
}

}  // namespace

std::string Quoted(std::string_view bytes)
{
    std::string text = "\"";
    for (const char byte : bytes) {
        text += Escaped(byte);
    }
    return text + "\"";
}

std::string HeaderLine(const std::string& port, const Options& options)
{
    return "COMPING " + port + ": " + Quoted(options.Message) + " (" +
           Counted(options.Message.size(), "byte") + "), " + std::to_string(options.BaudRate) +
           " baud 8N1, " + Counted(options.Count, "round trip") + ", timeout " +
           std::to_string(options.TimeoutMs) + " ms";
}

std::string TripLine(const std::string& port, unsigned sequence, const RoundTrip& trip)
{
    return Counted(trip.Back.size(), "byte") + " from " + port +
           ": seq=" + std::to_string(sequence) + " " + Quoted(trip.Back) +
           " time=" + Micros(trip.Elapsed) + " us";
}

std::string TripFailure(const std::string& port, unsigned sequence, const RoundTrip& trip,
                        const Options& options)
{
    const std::string which = port + " seq=" + std::to_string(sequence) + ": ";
    if (trip.Result == Outcome::Mismatched) {
        return which + "came back different: sent " + Quoted(options.Message) + ", got " +
               Quoted(trip.Back);
    }
    const std::string back = trip.Back.empty() ? "nothing back"
                                               : std::to_string(trip.Back.size()) + " of " +
                                                     Counted(options.Message.size(), "byte") +
                                                     " back, " + Quoted(trip.Back);
    return which + "timed out after " + std::to_string(options.TimeoutMs) + " ms with " + back +
           " (does the far end echo?)";
}

void Summary::Matched(std::chrono::microseconds elapsed)
{
    ++matched_;
    fastest_ = std::min(fastest_, elapsed);
    slowest_ = std::max(slowest_, elapsed);
    total_ += elapsed;
}

std::string Summary::Line() const
{
    std::string line = "--- " + port_ + ": " + std::to_string(matched_) + " of " +
                       Counted(planned_, "round trip") + " matched";
    if (matched_ != 0) {
        line += ", time min/avg/max " + Micros(fastest_) + "/" + Micros(total_ / matched_) + "/" +
                Micros(slowest_) + " us";
    }
    if (attempted_ < planned_) {
        line += "; stopped after round trip " + std::to_string(attempted_);
    }
    return line;
}

}  // namespace comping
