#include "io_manager.h"

#include "file_state.h"
#include "irp_engine.h"
#include "thread_state.h"

namespace host {

IoRequest::IoRequest(std::shared_ptr<FileState> file, RequestSetup setup)
    : file_(std::move(file)), setup_(std::move(setup))
{
}

std::shared_ptr<IoRequest> IoRequest::Failed(NTSTATUS status)
{
    auto request = std::make_shared<IoRequest>(nullptr, RequestSetup{});
    IoResult result;
    result.Status = status;
    request->Finish(std::move(result));
    return request;
}

bool IoRequest::Done() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return done_;
}

const IoResult& IoRequest::Wait()
{
    std::unique_lock<std::mutex> lock(mutex_);
    finished_.wait(lock, [this] { return done_; });
    return result_;
}

bool IoRequest::WaitFor(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return finished_.wait_for(lock, timeout, [this] { return done_; });
}

void IoRequest::Cancel()
{
    if (irp_ != nullptr) {
        CancelRequestIrp(irp_, this);
    }
}

void IoRequest::OnComplete(std::function<void(const IoResult&)> callback)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!done_) {
            onComplete_ = std::move(callback);
            return;
        }
    }
    callback(result_);
}

void IoRequest::AllocateBuffer(ULONG length)
{
    bufferLength_ = length;
    buffer_ = length != 0 ? std::make_unique<std::uint8_t[]>(length) : nullptr;
}

void IoRequest::Finish(IoResult result)
{
    // The last reference may be this one: let it go only after the waiters
    // have been told.
    std::shared_ptr<IoRequest> keepAlive = std::move(self_);
    std::function<void(const IoResult&)> onComplete;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        result_ = std::move(result);
        done_ = true;
        onComplete = std::move(onComplete_);
    }
    finished_.notify_all();
    // The result no longer changes once done_ is set, so it is read unlocked.
    // The completing thread may be deep in the driver, holding its locks:
    // the caller hears of it once the thread is out.
    if (onComplete) {
        std::shared_ptr<IoRequest> self = keepAlive != nullptr ? std::move(keepAlive) : shared_from_this();
        thread_state::RunOutsideDriver(
            [self = std::move(self), onComplete = std::move(onComplete)] { onComplete(self->result_); });
    }
}

}  // namespace host
