// The process's Win32 handles: files opened through the daemon and local
// event objects. Values are never reused, so a stale handle fails cleanly.
#pragma once

#include "event_object.h"

#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <variant>

namespace zelwin32 {

class ServerConnection;

// A file object the daemon holds for this process.
struct FileObject {
    std::shared_ptr<ServerConnection> Connection;
    std::uint64_t RemoteHandle = 0;
    bool Overlapped = false;  // opened with FILE_FLAG_OVERLAPPED
};

using HandleObject = std::variant<std::shared_ptr<FileObject>, std::shared_ptr<EventObject>>;

class HandleTable {
public:
    HANDLE Insert(HandleObject object);
    std::shared_ptr<FileObject> File(HANDLE handle) const;
    std::shared_ptr<EventObject> Event(HANDLE handle) const;
    std::optional<HandleObject> Remove(HANDLE handle);

private:
    template <typename T>
    std::shared_ptr<T> Find(HANDLE handle) const;

    // Handle values look like Windows' own: small multiples of four.
    static constexpr std::uintptr_t kFirstHandleValue = 0x100;
    static constexpr std::uintptr_t kHandleValueStep = 4;

    mutable std::mutex mutex_;
    std::map<std::uintptr_t, HandleObject> objects_;
    std::uintptr_t next_ = kFirstHandleValue;
};

}  // namespace zelwin32
