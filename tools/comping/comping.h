// comping's parts: the command line, the port through the Win32 comm API,
// one round trip, and what is printed. Every failure is a Failure carrying
// the message for stderr and the exit status.
#pragma once

#include <common/exit_status.h>

#include <windows.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

namespace comping {

using zeltools::ExitCode;
using zeltools::Failure;
using zeltools::ToStatus;
using zeltools::UsageError;

struct Options {
    unsigned ComNumber = 0;
    DWORD BaudRate = CBR_115200;
    unsigned Count = 4;
    std::string Message = "ping";
    DWORD TimeoutMs = 1000;  // for each round trip
    bool Help = false;
};

// Ownership of one Win32 handle: closed when the owner goes.
class Win32Handle {
public:
    explicit Win32Handle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
    Win32Handle(Win32Handle&& other) noexcept
        : handle_(std::exchange(other.handle_, INVALID_HANDLE_VALUE))
    {
    }
    Win32Handle& operator=(Win32Handle&& other) noexcept
    {
        std::swap(handle_, other.handle_);
        return *this;
    }
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

// One COM port of the driver, used through the Win32 comm API. Every failing
// call throws Failure with a message that names the call and its
// GetLastError value.
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

// One round trip: the message written, then read until it is back whole,
// differs, or the time is up.
enum class Outcome { Matched, Mismatched, TimedOut };

struct RoundTrip {
    Outcome Result = Outcome::TimedOut;
    std::string Back;  // what came back, up to the message's length
    std::chrono::microseconds Elapsed{0};
};

// Throws Failure when a call fails.
RoundTrip Ping(ComPort& port, const std::string& message, std::chrono::milliseconds timeout);

// What is printed: a header, a line per round trip, a summary, and the
// reason a round trip failed.

// Between double quotes: printable ASCII as it is, \" \\ \n \r \t, and \xHH
// for any other byte, so a line stays one line.
std::string Quoted(std::string_view bytes);

std::string HeaderLine(const std::string& port, const Options& options);
std::string TripLine(const std::string& port, unsigned sequence, const RoundTrip& trip);
// Why a round trip that did not match failed.
std::string TripFailure(const std::string& port, unsigned sequence, const RoundTrip& trip,
                        const Options& options);

class Summary {
public:
    Summary(std::string port, unsigned planned) : port_(std::move(port)), planned_(planned) {}

    void Attempted() { ++attempted_; }
    void Matched(std::chrono::microseconds elapsed);
    std::string Line() const;

private:
    std::string port_;
    unsigned planned_;
    unsigned attempted_ = 0;
    unsigned matched_ = 0;
    std::chrono::microseconds fastest_ = std::chrono::microseconds::max();
    std::chrono::microseconds slowest_{0};
    std::chrono::microseconds total_{0};
};

}  // namespace comping
