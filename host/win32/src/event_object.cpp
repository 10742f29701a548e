#include "event_object.h"

#include <chrono>

namespace zelwin32 {

void EventObject::Set()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        signalled_ = true;
    }
    changed_.notify_all();
}

void EventObject::Reset()
{
    std::lock_guard<std::mutex> lock(mutex_);
    signalled_ = false;
}

DWORD EventObject::Wait(DWORD milliseconds)
{
    std::unique_lock<std::mutex> lock(mutex_);
    const auto isSignalled = [this] { return signalled_; };
    if (milliseconds == INFINITE) {
        changed_.wait(lock, isSignalled);
    } else if (!changed_.wait_for(lock, std::chrono::milliseconds(milliseconds), isSignalled)) {
        return WAIT_TIMEOUT;
    }
    if (!manualReset_) {
        signalled_ = false;
    }
    return WAIT_OBJECT_0;
}

}  // namespace zelwin32
