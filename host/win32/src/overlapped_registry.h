// The OVERLAPPED structures of requests still in flight. Their Internal and
// InternalHigh fields are written and read under one lock, so
// GetOverlappedResult sees a finished request whole.
#pragma once

#include "nt_status.h"

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>

namespace zelwin32 {

struct OverlappedOutcome {
    NtStatus Status = kStatusPending;
    DWORD Transferred = 0;
};

class OverlappedRegistry {
public:
    // Marks the structure pending (Internal = STATUS_PENDING) for the request.
    void Begin(LPOVERLAPPED overlapped, std::uint64_t requestId);
    void Finish(LPOVERLAPPED overlapped, NtStatus status, std::uint64_t information);
    // The outcome, waiting for it when wait is set; nothing while it is
    // still pending and wait is not set.
    std::optional<OverlappedOutcome> Outcome(LPOVERLAPPED overlapped, bool wait);
    // The request id of a structure still pending.
    std::optional<std::uint64_t> RequestOf(LPOVERLAPPED overlapped) const;

private:
    mutable std::mutex mutex_;
    std::condition_variable finished_;
    std::map<LPOVERLAPPED, std::uint64_t> pending_;
};

}  // namespace zelwin32
