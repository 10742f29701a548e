// The port through the Win32 comm API, and one round trip through it.
#include "comping.h"

#include <common/platform.h>

#include <algorithm>

namespace comping {
namespace {

constexpr const char kDevicePrefix[] = "\\\\.\\";
constexpr const char kComPrefix[] = "COM";
// The driver's control device: it exists whenever the driver is loaded.
constexpr const char kControlDevice[] = "\\\\.\\ZelMain";
constexpr BYTE kDataBits = 8;
// A waiting read of the driver ends after ReadIntervalTimeout milliseconds,
// at most a second; ReadTotalTimeoutConstant only has to be non-zero (and not
// MAXDWORD) for reads to wait at all.
constexpr DWORD kShortestReadWaitMs = 1;
constexpr DWORD kLongestReadWaitMs = 1000;

std::string Describe(DWORD error)
{
    switch (error) {
    case ERROR_ACCESS_DENIED:
        return ": another program has the port open (vcomctl ports shows which)";
    case ERROR_GEN_FAILURE:
        return ": the driver could not reach the module (its control port or this channel's port)";
    case ERROR_DEVICE_REMOVED:
        return ": zelvcomd went away";
    case ERROR_OPERATION_ABORTED:
        return ": the request was cancelled (another program purged the port?)";
    default:
        return "";
    }
}

std::string ErrorText(DWORD error)
{
    return "(error " + std::to_string(error) + ")" + Describe(error);
}

Win32Handle OpenDevice(const std::string& path)
{
    return Win32Handle(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Whether the driver is there: its control device opens, or is busy
// (exclusive, held by another program). Only asked after a failed open, as
// it may keep a configuration tool out for a moment.
bool DriverRunning()
{
    const Win32Handle control = OpenDevice(kControlDevice);
    return control.Valid() || GetLastError() != ERROR_FILE_NOT_FOUND;
}

[[noreturn]] void FailOpen(const std::string& path, DWORD error)
{
    const std::string what = "cannot open " + path + " ";
    if (error != ERROR_FILE_NOT_FOUND) {
        throw Failure(ExitCode::Failed, what + ErrorText(error));
    }
    if (!DriverRunning()) {
        throw Failure(ExitCode::DaemonNotRunning,
                      what + ErrorText(error) + ": " + zeltools::DriverMissing());
    }
    throw Failure(ExitCode::Failed,
                  what + ErrorText(error) +
                      ": no such port ('vcomctl list' shows the configured ports, "
                      "'vcomctl start' creates them)");
}

using Clock = std::chrono::steady_clock;

bool IsPrefixOf(const std::string& part, const std::string& whole)
{
    return whole.compare(0, part.size(), part) == 0;
}

// All of it is back, or a byte differs.
bool Decided(const std::string& back, const std::string& message)
{
    return back.size() >= message.size() || !IsPrefixOf(back, message);
}

Outcome Judge(const std::string& back, const std::string& message)
{
    if (back == message) {
        return Outcome::Matched;
    }
    return IsPrefixOf(back, message) ? Outcome::TimedOut : Outcome::Mismatched;
}

}  // namespace

ComPort::ComPort(unsigned comNumber) : name_(kComPrefix + std::to_string(comNumber))
{
    const std::string path = kDevicePrefix + name_;
    handle_ = OpenDevice(path);
    if (!handle_.Valid()) {
        FailOpen(path, GetLastError());
    }
}

void ComPort::SetLine(DWORD baudRate)
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle_.Get(), &dcb)) {
        Fail("GetCommState");
    }
    dcb.BaudRate = baudRate;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.ByteSize = kDataBits;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    if (!SetCommState(handle_.Get(), &dcb)) {
        Fail("SetCommState");
    }
}

void ComPort::DiscardReceived()
{
    if (!PurgeComm(handle_.Get(), PURGE_RXCLEAR)) {
        Fail("PurgeComm");
    }
}

void ComPort::WriteAll(std::string_view bytes)
{
    while (!bytes.empty()) {
        DWORD written = 0;
        if (!WriteFile(handle_.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                       nullptr)) {
            Fail("WriteFile");
        }
        if (written == 0) {
            throw Failure(ExitCode::Failed, "WriteFile on " + name_ + " took none of " +
                                                std::to_string(bytes.size()) +
                                                " bytes (write timeout)");
        }
        bytes.remove_prefix(written);
    }
}

std::string ComPort::ReadSome(std::size_t most, std::chrono::milliseconds wait)
{
    const auto waitMs = static_cast<DWORD>(std::clamp<std::chrono::milliseconds::rep>(
        wait.count(), kShortestReadWaitMs, kLongestReadWaitMs));
    SetReadWait(waitMs);
    std::string bytes(most, '\0');
    DWORD got = 0;
    if (!ReadFile(handle_.Get(), bytes.data(), static_cast<DWORD>(most), &got, nullptr)) {
        Fail("ReadFile");
    }
    bytes.resize(got);
    return bytes;
}

// Set again only when the wait changes, so a steady run costs no extra call.
void ComPort::SetReadWait(DWORD waitMs)
{
    if (waitMs == readWaitMs_) {
        return;
    }
    COMMTIMEOUTS timeouts{};
    // On Windows the same values end a read after waitMs as well.
    timeouts.ReadIntervalTimeout = waitMs;
    timeouts.ReadTotalTimeoutConstant = waitMs;
    if (!SetCommTimeouts(handle_.Get(), &timeouts)) {
        Fail("SetCommTimeouts");
    }
    readWaitMs_ = waitMs;
}

void ComPort::Fail(const char* call) const
{
    throw Failure(ExitCode::Failed,
                  std::string(call) + " on " + name_ + " failed " + ErrorText(GetLastError()));
}

RoundTrip Ping(ComPort& port, const std::string& message, std::chrono::milliseconds timeout)
{
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = start + timeout;
    port.WriteAll(message);
    // Each read asks for what is still missing, so the driver ends it as soon
    // as an arrival leaves no more than that held, and it never takes more
    // than this message's echo. A differing byte ends the round trip at once.
    RoundTrip trip;
    while (!Decided(trip.Back, message)) {
        const Clock::duration left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) {
            break;
        }
        trip.Back += port.ReadSome(message.size() - trip.Back.size(),
                                   std::chrono::ceil<std::chrono::milliseconds>(left));
    }
    trip.Elapsed = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
    trip.Result = Judge(trip.Back, message);
    return trip;
}

}  // namespace comping
