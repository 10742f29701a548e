// A Win32 event object, local to the process (OVERLAPPED.hEvent).
#pragma once

#include <windows.h>

#include <condition_variable>
#include <mutex>

namespace zelwin32 {

class EventObject {
public:
    EventObject(bool manualReset, bool signalled) : manualReset_(manualReset), signalled_(signalled)
    {
    }

    void Set();
    void Reset();
    // WAIT_OBJECT_0 or WAIT_TIMEOUT; an auto-reset event is reset by the
    // wait that takes it.
    DWORD Wait(DWORD milliseconds);

private:
    const bool manualReset_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool signalled_;
};

}  // namespace zelwin32
