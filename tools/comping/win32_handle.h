// Ownership of one Win32 handle: closed when the owner goes.
#pragma once

#include <windows.h>

#include <utility>

namespace comping {

class Win32Handle {
public:
    explicit Win32Handle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
    Win32Handle(Win32Handle&& other) noexcept : handle_(std::exchange(other.handle_, INVALID_HANDLE_VALUE)) {}
    Win32Handle& operator=(Win32Handle&& other) noexcept
    {
        std::swap(handle_, other.handle_);
        return *this;
    }
    Win32Handle(const Win32Handle&) = delete;
    Win32Handle& operator=(const Win32Handle&) = delete;
    ~Win32Handle()
    {
        if (Valid()) {
            CloseHandle(handle_);
        }
    }

    HANDLE Get() const { return handle_; }
    bool Valid() const { return handle_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE handle_;
};

}  // namespace comping
