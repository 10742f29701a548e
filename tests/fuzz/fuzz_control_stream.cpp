// The module's control stream as the driver's receive path scans it: the
// same bytes, cut into receives wherever the input says, must give the same
// reports as when they come in one piece, and the scan never holds more than
// one report's start.
//
// Input: the stream (FuzzedDataProvider's random-length string), then the
// lengths of the receives, one byte each; what the lengths leave over is the
// last receive.
#include "net/module_control.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Reports = std::vector<CtsReport>;

void Collect(PVOID Context, const CtsReport& Report)
{
    static_cast<Reports*>(Context)->push_back(Report);
}

void Feed(ReportStream* stream, const std::string& text, std::size_t at, std::size_t length,
          Reports* found)
{
    ScanReports(stream, reinterpret_cast<const UCHAR*>(text.data()) + at,
                static_cast<ULONG>(length), Collect, found);
    if (stream->HeldLength >= LONGEST_REPORT) {
        std::abort();  // a whole report is never held back
    }
}

bool Same(const Reports& a, const Reports& b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].ChannelIndex != b[i].ChannelIndex || a[i].On != b[i].On) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    const std::string text = input.ConsumeRandomLengthString();

    ReportStream whole{};
    ForgetPartialReport(&whole);
    Reports once;
    Feed(&whole, text, 0, text.size(), &once);

    ReportStream cut{};
    ForgetPartialReport(&cut);
    Reports pieces;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t length = text.size() - at;
        if (input.remaining_bytes() != 0) {
            length = std::min<std::size_t>(length, input.ConsumeIntegral<std::uint8_t>());
        }
        Feed(&cut, text, at, length, &pieces);
        at += length;
    }

    if (!Same(once, pieces) || whole.HeldLength != cut.HeldLength) {
        std::abort();  // the cut of the stream into receives changed what it says
    }
    return 0;
}
