// One file object a caller opened and the book-keeping of its requests:
// which are in flight, and when the close may be sent (after the cleanup,
// once the last request has finished). The caller's handle on it is in
// file_state.cpp.
#pragma once

#include <host/common/non_copyable.h>
#include <host/kernel.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace host {

class IoManager;
class IoRequest;

class FileState : public std::enable_shared_from_this<FileState>, zel::NonCopyable {
public:
    FileState(IoManager& io, PDEVICE_OBJECT device, const std::string& remainder);

    PFILE_OBJECT Object() { return &object_; }
    PDEVICE_OBJECT Device() const { return object_.DeviceObject; }
    IoManager& Io() { return io_; }

    // False once the handle has been cleaned up.
    bool AddRequest(IoRequest* request);
    // True when this was the last request after the cleanup: the caller
    // queues the close.
    bool RemoveRequest(IoRequest* request);
    // True when no request is in flight: the caller sends the close now.
    bool CleanupFinished();
    std::vector<std::shared_ptr<IoRequest>> InFlight();

private:
    bool ClaimCloseLocked();

    IoManager& io_;
    FILE_OBJECT object_{};
    std::u16string fileName_;
    std::mutex mutex_;
    std::vector<IoRequest*> requests_;
    bool cleanedUp_ = false;
    bool closeClaimed_ = false;
};

// The handle the caller holds on an opened file object.
std::unique_ptr<File> MakeFileHandle(std::shared_ptr<FileState> state);

}  // namespace host
