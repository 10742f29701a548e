// One COM port of the driver, used through the Win32 comm API. Every failing
// call throws Failure with a message that names the call and its
// GetLastError value.
#pragma once

#include "win32_handle.h"

#include <windows.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace comping {

class ComPort {
public:
    // Opens \\.\COM<comNumber>. When the port cannot be found, tells a
    // missing port (exit 1) from a missing zelvcomd (exit 3).
    explicit ComPort(unsigned comNumber);

    const std::string& Name() const { return name_; }

    // 8 data bits, no parity, 1 stop bit at baudRate.
    void SetLine(DWORD baudRate);
    // Drops whatever was received before the first round trip.
    void DiscardReceived();
    // Every byte, in as many writes as the driver needs.
    void WriteAll(std::string_view bytes);
    // One read of at most `most` bytes: returns once bytes have come or
    // after `wait` (at most one second) with whatever is there, maybe nothing.
    std::string ReadSome(std::size_t most, std::chrono::milliseconds wait);

private:
    [[noreturn]] void Fail(const char* call) const;
    void SetReadWait(DWORD waitMs);

    std::string name_;
    Win32Handle handle_;
    DWORD readWaitMs_ = 0;  // what SetCommTimeouts was given last; 0 before
};

}  // namespace comping
