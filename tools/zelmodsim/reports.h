// The reports a module sends on its control connection by itself.
#pragma once

#include <cstddef>
#include <string>

namespace zelmodsim {

constexpr std::size_t kCtsReportSize = 6;
constexpr std::size_t kStatusRecordSize = 9;
// What fits in one 2048-byte receive at the driver.
constexpr std::size_t kMaxStatusRecords = 227;

// "CTS" + channel digit + ' ' + level digit.
std::string CtsReport(char channel, char level);

// count records "29000<channel>0<level>0", one after the other. Every record
// but the last carries the opposite level, so a reader that acts on anything
// but the last record shows it.
std::string StatusRecords(char channel, char level, std::size_t count);

}  // namespace zelmodsim
