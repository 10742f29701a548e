#include "reports.h"

namespace zelmodsim {
namespace {

constexpr char kLevelOn = '1';
constexpr char kLevelOff = '0';
constexpr char kCtsSeparator = ' ';
constexpr char kStatusFiller = '0';
constexpr std::size_t kStatusChannelAt = 5;
constexpr std::size_t kStatusLevelAt = 7;

std::string StatusRecord(char channel, char level)
{
    std::string record = "29";
    record.resize(kStatusRecordSize, kStatusFiller);
    record[kStatusChannelAt] = channel;
    record[kStatusLevelAt] = level;
    return record;
}

}  // namespace

std::string CtsReport(char channel, char level)
{
    return std::string("CTS") + channel + kCtsSeparator + level;
}

std::string StatusRecords(char channel, char level, std::size_t count)
{
    const char opposite = level == kLevelOn ? kLevelOff : kLevelOn;
    std::string records;
    for (std::size_t i = 1; i < count; ++i) {
        records += StatusRecord(channel, opposite);
    }
    return records + StatusRecord(channel, level);
}

}  // namespace zelmodsim
