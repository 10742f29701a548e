#include "net/control_report.h"

namespace {

// "CTS" c ' ' l
constexpr char CTS_TAG[] = "CTS";
constexpr ULONG CTS_REPORT_SIZE = 6;
constexpr ULONG CTS_CHANNEL_AT = 3;
constexpr ULONG CTS_LEVEL_AT = 5;

// "29" . . . c . l .
constexpr char STATUS_TAG[] = "29";
constexpr ULONG STATUS_RECORD_SIZE = 9;
constexpr ULONG STATUS_CHANNEL_AT = 5;
constexpr ULONG STATUS_LEVEL_AT = 7;

static_assert(STATUS_RECORD_SIZE == LONGEST_REPORT && CTS_REPORT_SIZE <= LONGEST_REPORT,
              "a held report fits");

constexpr UCHAR FIRST_CHANNEL_DIGIT = '1';
constexpr UCHAR LEVEL_ON = '1';

// Whether the Length bytes held agree with the tag as far as both go.
bool BeginsWithTag(const UCHAR* Held, ULONG Length, const char* Tag, ULONG TagLength)
{
    const ULONG compared = Length < TagLength ? Length : TagLength;
    return RtlEqualMemory(Held, Tag, compared);
}

// The size of the report the held bytes begin, or 0 when they begin none.
ULONG ReportSizeOf(const UCHAR* Held, ULONG Length)
{
    if (Length == 0) {
        return 0;
    }
    if (BeginsWithTag(Held, Length, CTS_TAG, sizeof(CTS_TAG) - 1)) {
        return CTS_REPORT_SIZE;
    }
    if (BeginsWithTag(Held, Length, STATUS_TAG, sizeof(STATUS_TAG) - 1)) {
        return STATUS_RECORD_SIZE;
    }
    return 0;
}

CtsReport ReadReport(const UCHAR* Fields, ULONG Size)
{
    const ULONG channelAt = Size == CTS_REPORT_SIZE ? CTS_CHANNEL_AT : STATUS_CHANNEL_AT;
    const ULONG levelAt = Size == CTS_REPORT_SIZE ? CTS_LEVEL_AT : STATUS_LEVEL_AT;
    CtsReport report;
    report.ChannelIndex = static_cast<LONG>(Fields[channelAt]) - FIRST_CHANNEL_DIGIT;
    report.On = Fields[levelAt] == LEVEL_ON ? TRUE : FALSE;
    return report;
}

// Drops the first held byte: it began no report.
void DropFirstHeld(ReportStream* Stream)
{
    --Stream->HeldLength;
    RtlMoveMemory(Stream->Held, Stream->Held + 1, Stream->HeldLength);
}

}  // namespace

void ScanReports(ReportStream* Stream, const UCHAR* Text, ULONG Length, CtsReportSink Sink,
                 PVOID Context)
{
    for (ULONG i = 0; i < Length; ++i) {
        Stream->Held[Stream->HeldLength++] = Text[i];
        // A tag that breaks off may still hide the start of another in the
        // bytes after its first.
        ULONG size = ReportSizeOf(Stream->Held, Stream->HeldLength);
        while (size == 0 && Stream->HeldLength != 0) {
            DropFirstHeld(Stream);
            size = ReportSizeOf(Stream->Held, Stream->HeldLength);
        }
        if (size != 0 && Stream->HeldLength == size) {
            Sink(Context, ReadReport(Stream->Held, size));
            Stream->HeldLength = 0;
        }
    }
}

void ForgetPartialReport(ReportStream* Stream)
{
    Stream->HeldLength = 0;
}
