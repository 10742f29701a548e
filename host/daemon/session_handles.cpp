#include "session_handles.h"

namespace zelvcomd {
namespace {

// Handles one client may hold at once, as a process's open-file limit.
constexpr std::size_t kMaxHandles = 1024;
// Requests one client may have unanswered at once.
constexpr std::size_t kMaxRequestsInFlight = 64;

}  // namespace

bool SessionHandles::Reserve()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (files_.size() + reserved_ >= kMaxHandles) {
        return false;
    }
    ++reserved_;
    return true;
}

void SessionHandles::Unreserve()
{
    std::lock_guard<std::mutex> lock(mutex_);
    --reserved_;
}

std::uint64_t SessionHandles::Add(std::shared_ptr<host::File> file)
{
    std::lock_guard<std::mutex> lock(mutex_);
    --reserved_;
    const std::uint64_t handle = nextHandle_++;
    files_.emplace(handle, std::move(file));
    return handle;
}

std::shared_ptr<host::File> SessionHandles::Find(std::uint64_t handle) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = files_.find(handle);
    return found != files_.end() ? found->second : nullptr;
}

std::shared_ptr<host::File> SessionHandles::Remove(std::uint64_t handle)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = files_.find(handle);
    if (found == files_.end()) {
        return nullptr;
    }
    auto file = std::move(found->second);
    files_.erase(found);
    return file;
}

SessionHandles::Admission SessionHandles::Begin(std::uint64_t requestId, std::uint64_t handle)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (requests_.count(requestId) != 0) {
        return Admission::IdInUse;
    }
    if (requests_.size() >= kMaxRequestsInFlight) {
        return Admission::TooMany;
    }
    requests_.emplace(requestId, InFlight{handle, nullptr, false});
    return Admission::Admitted;
}

bool SessionHandles::Start(std::uint64_t requestId)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return !requests_.at(requestId).Cancelled;
}

bool SessionHandles::Track(std::uint64_t requestId, std::shared_ptr<host::PendingIo> io)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto& request = requests_.at(requestId);
    request.Io = std::move(io);
    return request.Cancelled;
}

void SessionHandles::End(std::uint64_t requestId)
{
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.erase(requestId);
}

bool SessionHandles::Cancel(std::uint64_t requestId, std::uint64_t handle,
                            std::shared_ptr<host::PendingIo>* io)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = requests_.find(requestId);
    if (found == requests_.end() || found->second.Handle != handle) {
        return false;
    }
    found->second.Cancelled = true;
    *io = found->second.Io;
    return true;
}

void SessionHandles::CancelWaiting(std::uint64_t handle)
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [id, request] : requests_) {
        if (request.Handle == handle && request.Io == nullptr) {
            request.Cancelled = true;
        }
    }
}

bool SessionHandles::Enter()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (shut_) {
        return false;
    }
    ++inside_;
    return true;
}

void SessionHandles::Leave()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (--inside_ == 0) {
        left_.notify_all();
    }
}

std::vector<std::shared_ptr<host::File>> SessionHandles::Shut()
{
    std::unique_lock<std::mutex> lock(mutex_);
    shut_ = true;
    left_.wait(lock, [this] { return inside_ == 0; });
    std::vector<std::shared_ptr<host::File>> files;
    for (auto& [handle, file] : files_) {
        files.push_back(std::move(file));
    }
    files_.clear();
    return files;
}

}  // namespace zelvcomd
