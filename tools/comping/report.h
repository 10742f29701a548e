// What comping prints: a header, a line per round trip, a summary, and the
// reason a round trip failed.
#pragma once

#include "options.h"
#include "round_trip.h"

#include <chrono>
#include <string>
#include <string_view>
#include <utility>

namespace comping {

// Between double quotes: printable ASCII as it is, \" \\ \n \r \t, and \xHH
// for any other byte, so a line stays one line.
std::string Quoted(std::string_view bytes);

std::string HeaderLine(const std::string& port, const Options& options);
std::string TripLine(const std::string& port, unsigned sequence, const RoundTrip& trip);
// Why a round trip that did not match failed.
std::string TripFailure(const std::string& port, unsigned sequence, const RoundTrip& trip, const Options& options);

class Summary {
public:
    Summary(std::string port, unsigned planned) : port_(std::move(port)), planned_(planned) {}

    void Attempted() { ++attempted_; }
    void Matched(std::chrono::microseconds elapsed);
    std::string Line() const;

private:
    std::string port_;
    unsigned planned_;
    unsigned attempted_ = 0;
    unsigned matched_ = 0;
    std::chrono::microseconds fastest_ = std::chrono::microseconds::max();
    std::chrono::microseconds slowest_{0};
    std::chrono::microseconds total_{0};
};

}  // namespace comping
