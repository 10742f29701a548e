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

// The record when Handle passes the handle test, else null. There is no null
// test: callers pass only what VCOM_CreateDevice returned.
inline ControlHandle* LiveHandle(HANDLE Handle)
{
    if (Handle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    auto* record = static_cast<ControlHandle*>(Handle);
    return record->Signature == CONTROL_HANDLE_SIGNATURE ? record : nullptr;
}

}  // namespace vzelserial
