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

// The caller's handle on a file object. Closing it sends the cleanup at
// once; the close follows when the last request on the file object has
// finished.
namespace {

class FileHandle : public File {
public:
    explicit FileHandle(std::shared_ptr<FileState> state) : state_(std::move(state)) {}
    ~FileHandle() override { Close(); }

    std::shared_ptr<PendingIo> StartRead(ULONG length) override
    {
        RequestSetup setup;
        setup.MajorFunction = IRP_MJ_READ;
        setup.OutputLength = length;
        return Start(std::move(setup));
    }

    std::shared_ptr<PendingIo> StartWrite(const void* data, ULONG length) override
    {
        RequestSetup setup;
        setup.MajorFunction = IRP_MJ_WRITE;
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        setup.Input.assign(bytes, bytes + length);
        return Start(std::move(setup));
    }

    std::shared_ptr<PendingIo> StartDeviceControl(ULONG code, const void* input, ULONG inputLength,
                                                  ULONG outputLength) override
    {
        RequestSetup setup;
        setup.MajorFunction = IRP_MJ_DEVICE_CONTROL;
        setup.IoControlCode = code;
        const auto* bytes = static_cast<const std::uint8_t*>(input);
        setup.Input.assign(bytes, bytes + inputLength);
        setup.OutputLength = outputLength;
        return Start(std::move(setup));
    }

    std::shared_ptr<PendingIo> StartFlush() override
    {
        RequestSetup setup;
        setup.MajorFunction = IRP_MJ_FLUSH_BUFFERS;
        return Start(std::move(setup));
    }

    void CancelAll() override
    {
        for (const auto& request : state_->InFlight()) {
            request->Cancel();
        }
    }

    void Close() override
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (closed_) {
                return;
            }
            closed_ = true;
        }
        RequestSetup cleanup;
        cleanup.MajorFunction = IRP_MJ_CLEANUP;
        state_->Io().Send(state_, std::move(cleanup))->Wait();
        state_->Io().HandleClosed();
        if (state_->CleanupFinished()) {
            state_->Io().SendClose(state_);
        }
    }

    PFILE_OBJECT FileObject() const override { return state_->Object(); }

private:
    std::shared_ptr<PendingIo> Start(RequestSetup setup)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (closed_) {
                return IoRequest::Failed(STATUS_INVALID_HANDLE);
            }
        }
        return state_->Io().Send(state_, std::move(setup));
    }

    std::shared_ptr<FileState> state_;
    std::mutex mutex_;
    bool closed_ = false;
};

}  // namespace

std::unique_ptr<File> MakeFileHandle(std::shared_ptr<FileState> state)
{
    return std::make_unique<FileHandle>(std::move(state));
}

}  // namespace host
