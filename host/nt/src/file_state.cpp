#include "file_state.h"

#include "io_manager.h"
#include "rtl_unicode.h"

#include <algorithm>

namespace host {

FileState::FileState(IoManager& io, PDEVICE_OBJECT device, const std::string& remainder)
    : io_(io), fileName_(rtl::Utf8ToUtf16(remainder).value_or(std::u16string()))
{
    object_.Type = IO_TYPE_FILE;
    object_.Size = sizeof(FILE_OBJECT);
    object_.DeviceObject = device;
    object_.FileName.Buffer = fileName_.empty() ? nullptr : reinterpret_cast<PWSTR>(fileName_.data());
    object_.FileName.Length = static_cast<USHORT>(fileName_.size() * sizeof(WCHAR));
    object_.FileName.MaximumLength = object_.FileName.Length;
    KeInitializeEvent(&object_.Lock, SynchronizationEvent, FALSE);
    KeInitializeEvent(&object_.Event, NotificationEvent, FALSE);
    InitializeListHead(&object_.IrpList);
}

bool FileState::AddRequest(IoRequest* request)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (cleanedUp_) {
        return false;
    }
    requests_.push_back(request);
    return true;
}

bool FileState::RemoveRequest(IoRequest* request)
{
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.erase(std::remove(requests_.begin(), requests_.end(), request), requests_.end());
    return ClaimCloseLocked();
}

bool FileState::CleanupFinished()
{
    std::lock_guard<std::mutex> lock(mutex_);
    cleanedUp_ = true;
    return ClaimCloseLocked();
}

bool FileState::ClaimCloseLocked()
{
    if (!cleanedUp_ || !requests_.empty() || closeClaimed_) {
        return false;
    }
    closeClaimed_ = true;
    return true;
}

std::vector<std::shared_ptr<IoRequest>> FileState::InFlight()
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::shared_ptr<IoRequest>> requests;
    for (IoRequest* request : requests_) {
        // Alive: a request in flight keeps itself alive until it finishes.
        requests.push_back(request->shared_from_this());
    }
    return requests;
}

}  // namespace host
