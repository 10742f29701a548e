#include "file_request.h"

#include "last_error.h"
#include "win32_process.h"

#include <algorithm>
#include <cstring>

namespace zelwin32 {
namespace {

void CopyOut(const CallResult& result, OutputBuffer output)
{
    const std::size_t count = std::min<std::size_t>(result.Data.size(), output.Length);
    if (count != 0) {
        std::memcpy(output.Data, result.Data.data(), count);
    }
}

BOOL RunSynchronously(const FileObject& file, zelipc::RequestBody body, OutputBuffer output,
                      LPDWORD transferred)
{
    const CallResult result = WaitForRequest(file, std::move(body));
    CopyOut(result, output);
    return ConcludeRequest(result.Status, result.Information, transferred);
}

// The event named in the OVERLAPPED; false for a handle that is no event.
bool EventOf(LPOVERLAPPED overlapped, std::shared_ptr<EventObject>* event)
{
    if (overlapped->hEvent == nullptr) {
        return true;
    }
    *event = Win32Process::Instance().Handles().Event(overlapped->hEvent);
    return *event != nullptr;
}

BOOL RunOverlapped(const FileObject& file, zelipc::RequestBody body, OutputBuffer output,
                   LPDWORD transferred, LPOVERLAPPED overlapped)
{
    std::shared_ptr<EventObject> event;
    if (!EventOf(overlapped, &event)) {
        return FailWith(ERROR_INVALID_HANDLE);
    }
    if (event) {
        event->Reset();
    }
    OverlappedRegistry& registry = Win32Process::Instance().Overlapped();
    const std::uint64_t id = file.Connection->NewRequestId();
    registry.Begin(overlapped, id);
    const auto completion = [output, overlapped, event, &registry](const CallResult& result) {
        CopyOut(result, output);
        registry.Finish(overlapped, result.Status, result.Information);
        if (event) {
            event->Set();
        }
    };
    const auto call = file.Connection->Start(id, std::move(body), completion);
    // A handle opened without FILE_FLAG_OVERLAPPED waits, as on Windows.
    if (file.Overlapped && !call->WaitFirstAnswer()) {
        return FailWith(ERROR_IO_PENDING);
    }
    const CallResult& result = call->WaitResult();
    return ConcludeRequest(result.Status, result.Information, transferred);
}

}  // namespace

CallResult WaitForRequest(const FileObject& file, zelipc::RequestBody body)
{
    return file.Connection->Start(std::move(body))->WaitResult();
}

BOOL ConcludeRequest(NtStatus status, std::uint64_t information, LPDWORD transferred)
{
    if (transferred != nullptr) {
        *transferred = static_cast<DWORD>(information);
    }
    return IsSuccess(status) ? TRUE : FailWithStatus(status);
}

BOOL RunFileRequest(const FileObject& file, zelipc::RequestBody body, OutputBuffer output,
                    LPDWORD transferred, LPOVERLAPPED overlapped)
{
    if (transferred != nullptr) {
        *transferred = 0;
    }
    if (overlapped == nullptr) {
        return RunSynchronously(file, std::move(body), output, transferred);
    }
    return RunOverlapped(file, std::move(body), output, transferred, overlapped);
}

void RecordOverlappedOutcome(LPOVERLAPPED overlapped, NtStatus status, DWORD transferred)
{
    std::shared_ptr<EventObject> event;
    EventOf(overlapped, &event);
    OverlappedRegistry& registry = Win32Process::Instance().Overlapped();
    constexpr std::uint64_t kNoRequest = 0;
    registry.Begin(overlapped, kNoRequest);
    registry.Finish(overlapped, status, transferred);
    if (event) {
        event->Set();
    }
}

}  // namespace zelwin32
