#include "port_upload.h"

#include "pty_pair.h"

#include <host/common/errors.h>

#include <ntddser.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <utility>

namespace zelvcomd {
namespace {

// The driver sends at most this much per write request.
constexpr std::size_t kLongestPortWrite = 2047;
// In packet mode every read of the master starts with one status byte.
constexpr std::size_t kPacketHeader = 1;
// A turn takes at most this many packets, so that a program writing without
// pause does not keep the worker from the other ports' jobs.
constexpr int kPacketsPerTurn = 16;
constexpr UCHAR kDataBits = 8;
// A write that found the module away is tried again after a delay growing
// by this much each time, up to the longest.
constexpr std::chrono::milliseconds kFirstRetryDelay(250);
constexpr std::chrono::milliseconds kLongestRetryDelay(2000);

zel::UniqueFd Duplicate(int fd)
{
    zel::UniqueFd copy(fcntl(fd, F_DUPFD_CLOEXEC, 0));
    if (!copy.Valid())
        throw zel::ErrnoError("duplicating the master");
    return copy;
}

std::string Describe(const LineSettings& line)
{
    return std::to_string(line.BaudRate) + " baud, " +
           (line.TwoStopBits ? "2 stop bits" : "1 stop bit");
}

}  // namespace

PortUpload::PortUpload(std::shared_ptr<host::File> file, int masterFd,
                       std::chrono::seconds closingWait, Logger& log, std::string name)
    : file_(std::move(file)),
      master_(Duplicate(masterFd)),
      closingWait_(closingWait),
      log_(log),
      name_(std::move(name))
{
}

PortUpload::Outcome PortUpload::TakeTurn()
{
    std::array<std::uint8_t, kPacketHeader + kLongestPortWrite> packet;
    for (int taken = 0; taken < kPacketsPerTurn;) {
        if (superseded_)
            return Outcome::Superseded;
        const ssize_t length = read(master_.Get(), packet.data(), packet.size());
        if (length < 0 && errno == EINTR)
            continue;
        if (length < 0 && errno == EAGAIN)
            return Outcome::Empty;
        if (length <= 0)
            return Outcome::Ended;  // EIO: no program and nothing left
        ++taken;
        // Checked after the read: a program holding the slave now may have
        // written what was read. (The bytes may also be the tail of what the
        // one before wrote; they reach the module all the same, in order.)
        if (programLeft_ && SlaveHeld(master_.Get())) {
            superseded_ = true;
            if (packet[0] == TIOCPKT_DATA)
                carried_.assign(packet.begin() + kPacketHeader, packet.begin() + length);
            return Outcome::Superseded;
        }
        if (packet[0] == TIOCPKT_DATA) {
            if (length > 1)
                Write(packet.data() + kPacketHeader,
                      static_cast<std::size_t>(length) - kPacketHeader);
        } else if ((packet[0] & TIOCPKT_IOCTL) != 0) {
            ApplyLineSettings();
        }
    }
    return Outcome::More;
}

bool PortUpload::AwaitInput(std::chrono::milliseconds timeout)
{
    pollfd master{master_.Get(), POLLIN, 0};
    int ready = 0;
    do {
        ready = poll(&master, 1, static_cast<int>(timeout.count()));
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
}

// A write the module takes only part of within the driver's send time comes
// back short, and the rest is sent again: while the program is there it
// waits, as on a port held back by flow control. Once it has left, a module
// that takes nothing for the closing wait gets no more.
void PortUpload::Write(const std::uint8_t* data, std::size_t length)
{
    int attempts = 0;
    bool slow = false;
    for (std::size_t sent = 0; sent < length && !givenUp_ && !abandoned_;) {
        const std::size_t rest = length - sent;
        const auto began = std::chrono::steady_clock::now();
        const host::IoResult result = file_->Write(data + sent, static_cast<ULONG>(rest));
        if (!NT_SUCCESS(result.Status)) {
            if (!WaitForModule(rest, result.Status, &attempts))
                return;
            continue;
        }
        if (attempts != 0) {
            log_.Info(name_ + ": the module is back; the held bytes go out");
            attempts = 0;
        }
        const std::size_t took = std::min<std::size_t>(result.Information, rest);
        sent += took;
        if (took < rest && !std::exchange(slow, true)) {
            log_.Debug(name_ + ": the module took " + std::to_string(took) + " of " +
                       std::to_string(rest) + " bytes within the send time; the rest waits");
        }
        if (took != 0 || !(programLeft_ || stopped_)) {
            stalledSince_.reset();
            continue;
        }
        if (StalledPastClosingWait(began, rest))
            return;
    }
}

bool PortUpload::WaitForModule(std::size_t held, NTSTATUS status, int* attempts)
{
    // Once the program has left there is no one to hold the bytes for: the
    // session ends, and the next program's bytes must not queue behind them.
    if (abandoned_ || programLeft_ || stopped_) {
        log_.Warning(name_ + ": the module is away (status " + StatusText(status) +
                     ") and the program has left; " + std::to_string(held) +
                     " bytes it wrote are dropped");
        return false;
    }
    if (*attempts == 0) {
        log_.Warning(name_ + ": the module is away (status " + StatusText(status) + "); " +
                     std::to_string(held) + " bytes wait until it is back");
    }
    ++*attempts;
    const auto delay = std::min(kFirstRetryDelay * *attempts, kLongestRetryDelay);
    std::unique_lock<std::mutex> lock(retryMutex_);
    retryWake_.wait_for(lock, delay, [this] { return abandoned_.load(); });
    return true;
}

bool PortUpload::StalledPastClosingWait(std::chrono::steady_clock::time_point began,
                                        std::size_t held)
{
    if (!stalledSince_)
        stalledSince_ = began;
    if (std::chrono::steady_clock::now() - *stalledSince_ < closingWait_)
        return false;
    givenUp_ = true;
    // What the program left in the pseudo-terminal goes with it, unless a
    // program holds the slave again (its own bytes may be there).
    if (!SlaveHeld(master_.Get()))
        tcflush(master_.Get(), TCIFLUSH);
    log_.Warning(name_ + ": the module took nothing for " + std::to_string(closingWait_.count()) +
                 " s after the program left; " + std::to_string(held) +
                 " bytes the program wrote last are dropped");
    return true;
}

void PortUpload::WakeRetry()
{
    std::lock_guard<std::mutex> lock(retryMutex_);
    retryWake_.notify_all();
}

void PortUpload::ApplyLineSettings()
{
    LineSettings now;
    try {
        now = ReadLineSettings(master_.Get());
    } catch (const std::exception& error) {
        log_.Warning(name_ + ": " + error.what());
        return;
    }
    if (applied_ && *applied_ == now)
        return;
    const std::optional<LineSettings> before = applied_;
    applied_ = now;
    log_.Info(name_ + ": " + Describe(now));
    NTSTATUS baud = STATUS_SUCCESS;
    NTSTATUS line = STATUS_SUCCESS;
    if (!before || before->BaudRate != now.BaudRate) {
        const SERIAL_BAUD_RATE rate{now.BaudRate};
        baud = file_->DeviceControl(IOCTL_SERIAL_SET_BAUD_RATE, &rate, sizeof rate, 0).Status;
    }
    if (!before || before->TwoStopBits != now.TwoStopBits) {
        SERIAL_LINE_CONTROL control{};
        control.StopBits = now.TwoStopBits ? STOP_BITS_2 : STOP_BIT_1;
        control.Parity = NO_PARITY;
        control.WordLength = kDataBits;
        line =
            file_->DeviceControl(IOCTL_SERIAL_SET_LINE_CONTROL, &control, sizeof control, 0).Status;
    }
    const NTSTATUS refused = NT_SUCCESS(baud) ? line : baud;
    if (!NT_SUCCESS(refused)) {
        log_.Warning(name_ + ": the module refused the line settings (status " +
                     StatusText(refused) + ")");
    }
}

}  // namespace zelvcomd
