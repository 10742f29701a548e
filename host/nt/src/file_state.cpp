#include "file_state.h"

#include "io_manager.h"
#include "ob_file_object.h"
#include "rtl_unicode.h"

#include <algorithm>

namespace host {

FileState::FileState(IoManager& io, PDEVICE_OBJECT device, const std::string& remainder)
    : io_(io), fileName_(rtl::Utf8ToUtf16(remainder).value_or(std::u16string()))
{
    InitializeFileObject(object_, device, fileName_);
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
