#include "overlapped_registry.h"

namespace zelwin32 {

void OverlappedRegistry::Begin(LPOVERLAPPED overlapped, std::uint64_t requestId)
{
    std::lock_guard<std::mutex> lock(mutex_);
    overlapped->Internal = static_cast<ULONG_PTR>(kStatusPending);
    overlapped->InternalHigh = 0;
    pending_[overlapped] = requestId;
}

void OverlappedRegistry::Finish(LPOVERLAPPED overlapped, NtStatus status, std::uint64_t information)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // Internal holds the status as the kernel stores it: sign-extended.
        overlapped->Internal = static_cast<ULONG_PTR>(static_cast<LONG_PTR>(status));
        overlapped->InternalHigh = static_cast<ULONG_PTR>(information);
        pending_.erase(overlapped);
    }
    finished_.notify_all();
}

std::optional<OverlappedOutcome> OverlappedRegistry::Outcome(LPOVERLAPPED overlapped, bool wait)
{
    std::unique_lock<std::mutex> lock(mutex_);
    const auto done = [this, overlapped] { return pending_.count(overlapped) == 0; };
    if (wait) {
        finished_.wait(lock, done);
    } else if (!done()) {
        return std::nullopt;
    }
    return OverlappedOutcome{static_cast<NtStatus>(overlapped->Internal),
                             static_cast<DWORD>(overlapped->InternalHigh)};
}

std::optional<std::uint64_t> OverlappedRegistry::RequestOf(LPOVERLAPPED overlapped) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = pending_.find(overlapped);
    if (found == pending_.end()) {
        return std::nullopt;
    }
    return found->second;
}

}  // namespace zelwin32
