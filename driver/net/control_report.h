// The CTS reports a module sends on its control connection, found in the
// text one receive delivered: "CTS<digit> <level>" at the start, or else a
// 9-byte status record "29...<digit>.<level>." as the last of a whole
// number of records. Channel digits count from 1; level "1" is on.
#pragma once

#include "core/nt.h"

struct CtsReport {
    LONG ChannelIndex;  // from 0; may lie outside the module's channels
    BOOLEAN On;
};

// Looks for one report in the first Length bytes of Text; false when there
// is none.
bool FindCtsReport(const UCHAR* Text, ULONG Length, CtsReport* Report);
