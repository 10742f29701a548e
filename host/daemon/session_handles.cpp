#include "session_handles.h"

namespace zelvcomd {

std::uint64_t SessionHandles::Add(std::shared_ptr<host::File> file)
{
    std::lock_guard<std::mutex> lock(mutex_);
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

void SessionHandles::Track(std::uint64_t requestId, std::uint64_t handle,
                           std::shared_ptr<host::PendingIo> io)
{
    std::lock_guard<std::mutex> lock(mutex_);
    requests_[requestId] = {handle, std::move(io)};
}

void SessionHandles::Forget(std::uint64_t requestId)
{
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.erase(requestId);
}

std::shared_ptr<host::PendingIo> SessionHandles::Request(std::uint64_t requestId,
                                                         std::uint64_t handle) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = requests_.find(requestId);
    return found != requests_.end() && found->second.Handle == handle ? found->second.Io : nullptr;
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
