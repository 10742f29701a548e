// SetCommState's and GetCommState's translation between the DCB and the
// serial structures, and ClearCommError's from SERIAL_STATUS. Any DCB a
// program passes is taken; settings read back and set again are the same
// settings (one trip settles every field a DCB cannot say twice).
//
// Input: a DCB's bytes, the break character, a SERIAL_STATUS's bytes;
// missing bytes are zero.
#include "dcb_translation.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

using namespace zelwin32;

template <typename T>
T Take(const std::uint8_t*& data, std::size_t& size)
{
    T value;
    std::memset(&value, 0, sizeof(value));
    const std::size_t n = std::min(size, sizeof(value));
    std::memcpy(&value, data, n);
    data += n;
    size -= n;
    return value;
}

bool SameSettings(const SerialSettings& a, const SerialSettings& b)
{
    return a.Baud.BaudRate == b.Baud.BaudRate && a.Line.StopBits == b.Line.StopBits &&
           a.Line.Parity == b.Line.Parity && a.Line.WordLength == b.Line.WordLength &&
           std::memcmp(&a.Chars, &b.Chars, sizeof(a.Chars)) == 0 &&
           a.Handflow.ControlHandShake == b.Handflow.ControlHandShake &&
           a.Handflow.FlowReplace == b.Handflow.FlowReplace &&
           a.Handflow.XonLimit == b.Handflow.XonLimit &&
           a.Handflow.XoffLimit == b.Handflow.XoffLimit;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const DCB dcb = Take<DCB>(data, size);
    const BYTE breakChar = Take<BYTE>(data, size);
    const SerialStatus status = Take<SerialStatus>(data, size);

    const SerialSettings set = SettingsFromDcb(dcb, breakChar);
    const DCB read = DcbFromSettings(set);
    if (read.DCBlength != sizeof(DCB) || !read.fBinary || set.Chars.BreakChar != breakChar) {
        std::abort();
    }
    const SerialSettings again = SettingsFromDcb(read, breakChar);
    const SerialSettings third = SettingsFromDcb(DcbFromSettings(again), breakChar);
    if (!SameSettings(again, third)) {
        std::abort();
    }

    const DWORD errors = CommErrorsFromStatus(status);
    const COMSTAT stat = ComStatFromStatus(status);
    if ((status.Errors == 0 && errors != 0) || stat.cbInQue != status.AmountInInQueue ||
        stat.cbOutQue != status.AmountInOutQueue) {
        std::abort();
    }
    return 0;
}
