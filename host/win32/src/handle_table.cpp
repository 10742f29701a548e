#include "handle_table.h"

namespace zelwin32 {
namespace {

// Windows ignores the low two bits of a handle value (OVERLAPPED.hEvent
// uses bit 0 as a flag).
constexpr std::uintptr_t kHandleTagBits = 3;

std::uintptr_t Key(HANDLE handle)
{
    return reinterpret_cast<std::uintptr_t>(handle) & ~kHandleTagBits;
}

}  // namespace

HANDLE HandleTable::Insert(HandleObject object)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const std::uintptr_t value = next_;
    next_ += kHandleValueStep;
    objects_.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

template <typename T>
std::shared_ptr<T> HandleTable::Find(HANDLE handle) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = objects_.find(Key(handle));
    if (found == objects_.end()) {
        return nullptr;
    }
    const auto* object = std::get_if<std::shared_ptr<T>>(&found->second);
    return object != nullptr ? *object : nullptr;
}

std::shared_ptr<FileObject> HandleTable::File(HANDLE handle) const
{
    return Find<FileObject>(handle);
}

std::shared_ptr<EventObject> HandleTable::Event(HANDLE handle) const
{
    return Find<EventObject>(handle);
}

std::optional<HandleObject> HandleTable::Remove(HANDLE handle)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = objects_.find(Key(handle));
    if (found == objects_.end()) {
        return std::nullopt;
    }
    HandleObject object = std::move(found->second);
    objects_.erase(found);
    return object;
}

}  // namespace zelwin32
