// Helpers the I/O manager shares with the IRP routines.
#pragma once

#include <wdm.h>

#include <string>

namespace host {

class IoRequest;

// "IRP_MJ_READ" and so on.
std::string MajorFunctionName(UCHAR major);

// True once the completion has passed the stack location `level`.
bool IsLevelCompleted(PIRP irp, CHAR level);

// IoCancelIrp on behalf of a caller (PendingIo::Cancel, CancelIo): does
// nothing once the request's IRP has completed.
void CancelRequestIrp(PIRP irp, const IoRequest* request);

}  // namespace host
