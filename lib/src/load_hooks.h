// What the platform's load and unload notifications need to hear from the
// exports (load_hooks.cpp).
#pragma once

namespace vzelserial {

// Called after each successful open of the control device.
void NoteDeviceOpened();

}  // namespace vzelserial
