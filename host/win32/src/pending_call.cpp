#include "pending_call.h"

namespace zelwin32 {

void PendingCall::Pended()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pended_ = true;
    }
    answered_.notify_all();
}

void PendingCall::Complete(CallResult result)
{
    if (completion_) {
        completion_(result);
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        result_ = std::move(result);
        done_ = true;
    }
    answered_.notify_all();
}

bool PendingCall::WaitFirstAnswer()
{
    std::unique_lock<std::mutex> lock(mutex_);
    answered_.wait(lock, [this] { return pended_ || done_; });
    return done_;
}

const CallResult& PendingCall::WaitResult()
{
    std::unique_lock<std::mutex> lock(mutex_);
    answered_.wait(lock, [this] { return done_; });
    return result_;
}

}  // namespace zelwin32
