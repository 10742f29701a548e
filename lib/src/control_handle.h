// The record behind every control handle the library hands out. Callers get
// its address as an opaque HANDLE and pass it back unchanged.
#pragma once

#include <windows.h>

#include <cstdint>

namespace vzelserial {

// Held while the handle is live; cleared on release so a stale copy is refused.
constexpr std::uint32_t CONTROL_HANDLE_SIGNATURE = 0x5A5A3220;
constexpr std::uint32_t RELEASED_HANDLE_SIGNATURE = 0;

struct ControlHandle {
    HANDLE Device;            // the opened control device
    std::uint32_t Signature;  // CONTROL_HANDLE_SIGNATURE while live
    void* Reserved;           // null; kept for the record's fixed layout
};

// The record when Handle passes the handle test, else null. A null handle
// is no handle, like INVALID_HANDLE_VALUE: a caller that never checked what
// VCOM_CreateDevice returned may still hold one.
inline ControlHandle* LiveHandle(HANDLE Handle)
{
    if (Handle == nullptr || Handle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    auto* record = static_cast<ControlHandle*>(Handle);
    return record->Signature == CONTROL_HANDLE_SIGNATURE ? record : nullptr;
}

}  // namespace vzelserial
