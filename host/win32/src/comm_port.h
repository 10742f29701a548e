// The comm API of one handle, expressed as the serial I/O controls Windows
// issues for it. The I/O control call is injected, so tests can watch the
// exact sequence without a device.
#pragma once

#include <windows.h>

#include <functional>

namespace zelwin32 {

struct SerialSettings;

// DeviceIoControl's shape.
using IoControlCall =
    std::function<BOOL(HANDLE device, DWORD code, LPVOID input, DWORD inputLength, LPVOID output,
                       DWORD outputLength, LPDWORD returned, LPOVERLAPPED overlapped)>;

class CommPort {
public:
    CommPort(HANDLE handle, IoControlCall ioControl)
        : handle_(handle), ioControl_(std::move(ioControl))
    {
    }

    BOOL GetState(LPDCB dcb) const;
    BOOL SetState(const DCB* dcb) const;
    BOOL GetTimeouts(LPCOMMTIMEOUTS timeouts) const;
    BOOL SetTimeouts(const COMMTIMEOUTS* timeouts) const;
    BOOL SetMask(DWORD mask) const;
    BOOL GetMask(LPDWORD mask) const;
    BOOL WaitEvent(LPDWORD mask, LPOVERLAPPED overlapped) const;
    BOOL Purge(DWORD flags) const;
    BOOL Escape(DWORD function) const;
    BOOL ClearError(LPDWORD errors, LPCOMSTAT stat) const;
    BOOL GetModemStatus(LPDWORD modemStatus) const;
    BOOL Setup(DWORD inQueue, DWORD outQueue) const;

private:
    // A synchronous I/O control with fixed-size input and output.
    BOOL Control(DWORD code, const void* input, DWORD inputLength, void* output,
                 DWORD outputLength) const;
    BOOL Command(DWORD code) const { return Control(code, nullptr, 0, nullptr, 0); }
    template <typename T>
    BOOL Set(DWORD code, const T& value) const
    {
        return Control(code, &value, sizeof value, nullptr, 0);
    }
    template <typename T>
    BOOL Get(DWORD code, T* value) const
    {
        return Control(code, nullptr, 0, value, sizeof *value);
    }
    BOOL ReadSettings(SerialSettings* settings) const;
    BOOL ApplyState(const DCB& dcb, BYTE breakChar) const;
    BOOL SetModemLines(const DCB& dcb) const;

    HANDLE handle_;
    IoControlCall ioControl_;
};

}  // namespace zelwin32
