// One request on an open file, run the Win32 way: without OVERLAPPED the
// caller waits for completion; with OVERLAPPED on a handle opened for
// overlapped I/O, a request the driver pends returns FALSE with
// ERROR_IO_PENDING and completes later into the caller's buffer, the
// OVERLAPPED and its event.
#pragma once

#include "handle_table.h"
#include "pending_call.h"

#include <zelvcom_ipc/protocol.h>

#include <windows.h>

namespace zelwin32 {

// Where a request's output bytes go.
struct OutputBuffer {
    LPVOID Data = nullptr;
    DWORD Length = 0;
};

BOOL RunFileRequest(const FileObject& file, zelipc::RequestBody body, OutputBuffer output,
                    LPDWORD transferred, LPOVERLAPPED overlapped);

// Sends the request and waits for its final result.
CallResult WaitForRequest(const FileObject& file, zelipc::RequestBody body);

// The BOOL result and last error of a final status, with the count stored.
BOOL ConcludeRequest(NtStatus status, std::uint64_t information, LPDWORD transferred);

// Records an outcome reached without a request of its own in the OVERLAPPED
// (and signals its event), as a request that completed at once would.
void RecordOverlappedOutcome(LPOVERLAPPED overlapped, NtStatus status, DWORD transferred);

}  // namespace zelwin32
