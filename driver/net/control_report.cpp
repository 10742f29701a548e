#include "net/control_report.h"

namespace {

// The shortest text examined for a report.
constexpr ULONG SHORTEST_REPORT = 6;

// "CTS" c ' ' l
constexpr char CTS_TAG[] = "CTS";
constexpr ULONG CTS_TAG_LENGTH = sizeof(CTS_TAG) - 1;
constexpr ULONG CTS_CHANNEL_AT = 3;
constexpr ULONG CTS_LEVEL_AT = 5;

// "29" . . . c . l .
constexpr ULONG STATUS_RECORD_SIZE = 9;
constexpr char STATUS_TAG[] = "29";
constexpr ULONG STATUS_TAG_LENGTH = sizeof(STATUS_TAG) - 1;
constexpr ULONG STATUS_CHANNEL_AT = 5;
constexpr ULONG STATUS_LEVEL_AT = 7;

constexpr UCHAR FIRST_CHANNEL_DIGIT = '1';
constexpr UCHAR LEVEL_ON = '1';

bool StartsWith(const UCHAR* Text, const char* Tag, ULONG TagLength)
{
    return RtlEqualMemory(Text, Tag, TagLength);
}

void ReadReport(const UCHAR* Fields, ULONG ChannelAt, ULONG LevelAt, CtsReport* Report)
{
    Report->ChannelIndex = static_cast<LONG>(Fields[ChannelAt]) - FIRST_CHANNEL_DIGIT;
    Report->On = Fields[LevelAt] == LEVEL_ON ? TRUE : FALSE;
}

}  // namespace

bool FindCtsReport(const UCHAR* Text, ULONG Length, CtsReport* Report)
{
    if (Length < SHORTEST_REPORT) {
        return false;
    }
    if (StartsWith(Text, CTS_TAG, CTS_TAG_LENGTH)) {
        ReadReport(Text, CTS_CHANNEL_AT, CTS_LEVEL_AT, Report);
        return true;
    }
    if (Length % STATUS_RECORD_SIZE != 0) {
        return false;
    }
    const UCHAR* last = Text + Length - STATUS_RECORD_SIZE;
    if (!StartsWith(last, STATUS_TAG, STATUS_TAG_LENGTH)) {
        return false;
    }
    ReadReport(last, STATUS_CHANNEL_AT, STATUS_LEVEL_AT, Report);
    return true;
}
