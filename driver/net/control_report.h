// The CTS reports a module sends on its control connection, among its
// replies: "CTS<digit> <level>" (6 bytes) and the 9-byte status record
// "29...<digit>.<level>.". Channel digits count from 1; level "1" is on.
// The connection is a byte stream: a report may arrive together with other
// text or other reports, or cut across two receives, so the text is scanned
// as it comes and the start of a cut report is kept for the next receive.
#pragma once

#include "core/nt.h"

struct CtsReport {
    LONG ChannelIndex;  // from 0; may lie outside the module's channels
    BOOLEAN On;
};

constexpr ULONG LONGEST_REPORT = 9;

// The scan's state between receives: the first bytes of a report whose
// rest has not arrived yet.
struct ReportStream {
    UCHAR Held[LONGEST_REPORT];
    ULONG HeldLength;
};

typedef void (*CtsReportSink)(PVOID Context, const CtsReport& Report);

// Scans the next Length bytes of the stream and hands each report that they
// complete to Sink, in order. Text that begins no report is passed over; the
// bytes of a report are not scanned again.
void ScanReports(ReportStream* Stream, const UCHAR* Text, ULONG Length, CtsReportSink Sink,
                 PVOID Context);

// A new connection is a new stream.
void ForgetPartialReport(ReportStream* Stream);
