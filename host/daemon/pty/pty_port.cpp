#include "pty_port.h"

#include "port_link.h"
#include "pty_bridge.h"

#include <ntddser.h>

#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace zelvcomd {
namespace {

// The driver sends at most this much per write request.
constexpr std::size_t kLongestPortWrite = 2047;
// Bytes of the program's that may be on their way to the module: enough to
// keep the writes back to back, few enough that a slow module soon blocks
// the program's writes.
constexpr std::size_t kWriteWindow = 4 * kLongestPortWrite;
// The most the driver holds for a port; one read takes all of it.
constexpr ULONG kLongestPortRead = 2047;
// In packet mode every read of the master starts with one status byte.
constexpr std::size_t kPacketHeader = 1;
constexpr UCHAR kDataBits = 8;
// Any value but 0 and MAXULONG makes a read wait for its timer rather than
// answer at once with nothing.
constexpr ULONG kReadWaitsForTimer = 1;
// The driver's longest read wait: one second.
constexpr ULONG kLongestReadWaitMs = 1000;

std::string Status(NTSTATUS status) { return StatusText(status); }

std::string Describe(const LineSettings& line)
{
    return std::to_string(line.BaudRate) + " baud, " + (line.TwoStopBits ? "2 stop bits" : "1 stop bit");
}

// The wait for data arrival; the read timeouts are set per read.
NTSTATUS PrepareForBridge(host::File& file, SERIAL_TIMEOUTS* baseTimeouts)
{
    host::IoResult current = file.DeviceControl(IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, sizeof(SERIAL_TIMEOUTS));
    if (!NT_SUCCESS(current.Status)) return current.Status;
    std::memcpy(baseTimeouts, current.Data.data(), sizeof *baseTimeouts);
    const ULONG mask = SERIAL_EV_RXFLAG;  // completes a pending wait when data arrives
    return file.DeviceControl(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask, 0).Status;
}

}  // namespace

PtyPort::PtyPort(PtyBridge& bridge, std::string comName) : bridge_(bridge), name_(std::move(comName)) {}

std::filesystem::path PtyPort::LinkPath() const { return bridge_.Options().Directory / name_; }

void PtyPort::Publish() { CreatePty(); }

// ---- the pseudo-terminal ------------------------------------------------

void PtyPort::CreatePty()
{
    PtyPair pty = PtyPair::Create(bridge_.Options().Access);
    const int watch = bridge_.WatchSlave(pty.SlavePath(), this);
    try {
        PublishLink(LinkPath(), pty.SlavePath());
    } catch (...) {
        bridge_.ForgetSlave(watch);
        throw;
    }
    pty_.emplace(std::move(pty));
    watch_ = watch;
    selfOpens_ = 0;
    bridge_.Log().Info(name_ + ": " + LinkPath().string() + " -> " + pty_->SlavePath());
}

void PtyPort::DropPty()
{
    SetDelivery(-1);
    if (programPresent_) {
        bridge_.ForgetMaster(pty_->Master());
        programPresent_ = false;
        interest_ = 0;
    }
    if (watch_ >= 0) {
        bridge_.ForgetSlave(watch_);
        watch_ = -1;
    }
    pty_.reset();  // a program still holding the slave sees a hangup
}

// The port could not be opened: the program that opened the slave gets a
// hangup, and a fresh pseudo-terminal takes the name for the next try.
void PtyPort::HangUp()
{
    DropPty();
    try {
        CreatePty();
    } catch (const std::exception& error) {
        bridge_.Log().Error(name_ + ": " + error.what() + "; the port is unavailable to programs");
    }
}

void PtyPort::Retire()
{
    if (retired_) return;
    retired_ = true;
    RemoveLink(LinkPath());
    DropPty();
    if (phase_ == Phase::Open) {
        EndSession();
    }
    bridge_.Log().Info(name_ + ": " + LinkPath().string() + " removed");
}

// ---- the strand: blocking jobs, one at a time, in order -----------------

void PtyPort::Submit(Job job)
{
    {
        std::lock_guard<std::mutex> lock(strandMutex_);
        jobs_.push_back(std::move(job));
    }
    if (!strandRunning_) {
        strandRunning_ = true;
        StartJobs();
    }
}

void PtyPort::StartJobs()
{
    auto self = shared_from_this();
    bridge_.RunBlocking([self] { self->RunJobs(); });
}

// One worker runs the queued jobs back to back; their continuations reach
// the loop in the same order. The last one also tells the loop that the
// worker is done, so only the loop decides whether the strand is idle.
void PtyPort::RunJobs()
{
    auto self = shared_from_this();
    for (;;) {
        Job job;
        {
            std::lock_guard<std::mutex> lock(strandMutex_);
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        std::function<void()> then = job();
        bool last = false;
        {
            std::lock_guard<std::mutex> lock(strandMutex_);
            last = jobs_.empty();
        }
        if (last) {
            bridge_.Post([self, then = std::move(then)] {
                then();
                self->OnJobsDone();
            });
            return;
        }
        bridge_.Post(std::move(then));
    }
}

void PtyPort::OnJobsDone()
{
    bool more = false;
    {
        std::lock_guard<std::mutex> lock(strandMutex_);
        more = !jobs_.empty();
    }
    if (more) {
        StartJobs();  // submitted after the worker looked
    } else {
        strandRunning_ = false;
    }
}

bool PtyPort::Quiet() const { return retired_ && !strandRunning_; }

// ---- opening and closing the port ---------------------------------------

void PtyPort::OnSlaveOpened()
{
    if (retired_) return;
    if (selfOpens_ > 0) {
        // The daemon's own open. The watch merges opens not yet taken into
        // one event, so a program's open may be in it too: a program holding
        // the slave now tells.
        --selfOpens_;
        if (!pty_->SlaveHeld()) return;
    }
    switch (phase_) {
    case Phase::Idle:
        BeginOpen();
        break;
    case Phase::Opening:
        break;
    case Phase::Open:
        // A program came while the last one's bytes were still going out.
        if (!programPresent_) reopenWanted_ = true;
        break;
    case Phase::Closing:
        reopenWanted_ = true;
        break;
    }
}

void PtyPort::CheckForProgram()
{
    if (retired_ || phase_ != Phase::Idle || !pty_ || !pty_->SlaveHeld()) return;
    BeginOpen();
}

void PtyPort::BeginOpen()
{
    phase_ = Phase::Opening;
    reopenWanted_ = false;
    auto self = shared_from_this();
    Submit([self] {
        std::unique_ptr<host::File> opened;
        NTSTATUS status = self->bridge_.Kernel().Open("\\\\.\\" + self->name_, &opened);
        std::shared_ptr<host::File> file(std::move(opened));
        SERIAL_TIMEOUTS timeouts{};
        if (NT_SUCCESS(status)) {
            status = PrepareForBridge(*file, &timeouts);
            if (!NT_SUCCESS(status)) {
                file->Close();
                file.reset();
            }
        }
        return [self, status, file, timeouts] {
            self->baseTimeouts_ = timeouts;
            self->OnOpened(status, file);
        };
    });
}

void PtyPort::OnOpened(NTSTATUS status, std::shared_ptr<host::File> file)
{
    if (retired_) {
        if (file) {
            file_ = std::move(file);
            phase_ = Phase::Open;
            EndSession();
        } else {
            phase_ = Phase::Idle;
        }
        return;
    }
    if (!NT_SUCCESS(status)) {
        phase_ = Phase::Idle;
        bridge_.Log().Warning(name_ + ": the port did not open (status " + Status(status) +
                              "); the program sees a hangup and its next open tries again");
        HangUp();
        return;
    }
    file_ = std::move(file);
    phase_ = Phase::Open;
    programPresent_ = true;
    interest_ = EPOLLIN;
    bridge_.WatchMaster(pty_->Master(), interest_, this);
    SetDelivery(pty_->Master());
    bridge_.Log().Info(name_ + ": opened by a program on " + pty_->SlavePath());
    applied_.reset();
    ApplyLineSettings();
    PumpFromPort();
}

void PtyPort::EndSession()
{
    SetDelivery(-1);
    phase_ = Phase::Closing;
    toProgram_.clear();
    toProgramSent_ = 0;
    std::shared_ptr<host::PendingIo> wait = std::move(wait_);
    std::shared_ptr<host::PendingIo> read = std::move(read_);
    wait_.reset();
    read_.reset();
    waitSerial_ = readSerial_ = 0;
    heldMaybe_ = false;
    active_ = false;
    readTimeouts_.reset();
    // A read has no cancel routine: a purge ends it at once, rather than
    // its timer up to a second later. The wait is cancelled.
    if (read) CallOffRead();
    if (wait) wait->Cancel();
    std::shared_ptr<host::File> file = std::move(file_);
    file_.reset();
    auto self = shared_from_this();
    Submit([self, file, wait, read] {
        for (const auto& pending : {wait, read}) {
            if (pending) pending->Wait();
        }
        file->Close();
        return [self] { self->OnClosed(); };
    });
}

void PtyPort::OnClosed()
{
    phase_ = Phase::Idle;
    if (retired_) return;
    bridge_.Log().Info(name_ + ": closed");
    if (reopenWanted_) {
        BeginOpen();
    } else {
        CheckForProgram();  // an open the watch merged or that came meanwhile
    }
}

// What the module sent for the program that has gone stays with it: the
// slave's unread input is dropped as soon as the daemon sees the program
// leave, before the next one can read it.
void PtyPort::DiscardLeftovers()
{
    try {
        ++selfOpens_;
        pty_->DiscardSlaveInput();
    } catch (const std::exception& error) {
        --selfOpens_;
        bridge_.Log().Warning(name_ + ": " + error.what());
    }
}

// ---- program to module ---------------------------------------------------

void PtyPort::OnMasterEvents(std::uint32_t events)
{
    if ((events & EPOLLOUT) != 0) {
        FlushToProgram();
        PumpFromPort();
    }
    if ((events & EPOLLIN) != 0 && ReadPackets() == Drain::Ended && programPresent_) {
        ProgramGone();
    }
    // The hangup is checked again: it is what ends the session.
    if ((events & (EPOLLHUP | EPOLLERR)) != 0 && programPresent_ && !pty_->SlaveHeld()) {
        ProgramGone();
    }
}

// Reads packets until a write is under way or the master has nothing more.
PtyPort::Drain PtyPort::ReadPackets()
{
    std::array<std::uint8_t, kPacketHeader + kLongestPortWrite> packet;
    while (writeBytesInFlight_ < kWriteWindow && pty_) {
        const ssize_t length = read(pty_->Master(), packet.data(), packet.size());
        if (length < 0 && errno == EAGAIN) return Drain::Empty;
        if (length <= 0) return Drain::Ended;  // EIO: no program and nothing left
        if (packet[0] == TIOCPKT_DATA) {
            if (length > 1) SubmitWrite(packet.data() + kPacketHeader, static_cast<std::size_t>(length) - 1);
        } else if ((packet[0] & TIOCPKT_IOCTL) != 0) {
            ApplyLineSettings();
        }
    }
    return pty_ ? Drain::WindowFull : Drain::Ended;
}

void PtyPort::ProgramGone()
{
    SetDelivery(-1);
    bridge_.ForgetMaster(pty_->Master());
    programPresent_ = false;
    interest_ = 0;
    toProgram_.clear();
    toProgramSent_ = 0;
    DiscardLeftovers();
    bridge_.Log().Debug(name_ + ": the last program closed the port");
    DrainAfterProgram();
}

// What the program wrote before it closed still goes to the module; then
// the port closes. (A program that opens meanwhile finds the master empty
// and is served by the next open.)
void PtyPort::DrainAfterProgram()
{
    if (phase_ != Phase::Open) return;
    const Drain drained = ReadPackets();
    if (drained != Drain::WindowFull && writeBytesInFlight_ == 0) EndSession();
}

void PtyPort::SubmitWrite(const std::uint8_t* data, std::size_t length)
{
    writeBytesInFlight_ += length;
    UpdateInterest();
    auto bytes = std::make_shared<std::vector<std::uint8_t>>(data, data + length);
    auto file = file_;
    auto self = shared_from_this();
    Submit([self, file, bytes]() -> std::function<void()> {
        const host::IoResult result = file->Write(bytes->data(), static_cast<ULONG>(bytes->size()));
        return [self, status = result.Status, length = bytes->size()] { self->OnWritten(status, length); };
    });
}

void PtyPort::OnWritten(NTSTATUS status, std::size_t length)
{
    writeBytesInFlight_ -= length;
    if (!NT_SUCCESS(status)) {
        bridge_.Log().Warning(name_ + ": a write of " + std::to_string(length) + " bytes failed (status " +
                              Status(status) + "); the module did not get them");
    }
    if (retired_ || phase_ != Phase::Open) return;
    if (programPresent_) {
        UpdateInterest();
    } else {
        DrainAfterProgram();
    }
}

void PtyPort::ApplyLineSettings()
{
    if (!pty_) return;
    LineSettings now;
    try {
        now = ReadLineSettings(pty_->Master());
    } catch (const std::exception& error) {
        bridge_.Log().Warning(name_ + ": " + error.what());
        return;
    }
    if (phase_ != Phase::Open || (applied_ && *applied_ == now)) return;
    const std::optional<LineSettings> before = applied_;
    applied_ = now;
    bridge_.Log().Info(name_ + ": " + Describe(now));
    auto file = file_;
    auto self = shared_from_this();
    Submit([self, file, before, now] {
        NTSTATUS baud = STATUS_SUCCESS;
        NTSTATUS line = STATUS_SUCCESS;
        if (!before || before->BaudRate != now.BaudRate) {
            const SERIAL_BAUD_RATE rate{now.BaudRate};
            baud = file->DeviceControl(IOCTL_SERIAL_SET_BAUD_RATE, &rate, sizeof rate, 0).Status;
        }
        if (!before || before->TwoStopBits != now.TwoStopBits) {
            SERIAL_LINE_CONTROL control{};
            control.StopBits = now.TwoStopBits ? STOP_BITS_2 : STOP_BIT_1;
            control.Parity = NO_PARITY;
            control.WordLength = kDataBits;
            line = file->DeviceControl(IOCTL_SERIAL_SET_LINE_CONTROL, &control, sizeof control, 0).Status;
        }
        return [self, baud, line] {
            if (!NT_SUCCESS(baud) || !NT_SUCCESS(line)) {
                self->bridge_.Log().Warning(self->name_ + ": the module refused the line settings (status " +
                                            Status(NT_SUCCESS(baud) ? line : baud) + ")");
            }
        };
    });
}

// ---- module to program ---------------------------------------------------

// Reads wait for their timer: the bridge's two kinds differ only in how
// long. The port is switched between them as needed.
void PtyPort::UseReadTimeouts(ReadKind kind)
{
    if (readTimeouts_ == kind) return;
    SERIAL_TIMEOUTS timeouts = baseTimeouts_;
    timeouts.ReadIntervalTimeout = kind == ReadKind::Waiting ? kLongestReadWaitMs : 0;
    timeouts.ReadTotalTimeoutConstant = kReadWaitsForTimer;
    const host::IoResult set = file_->DeviceControl(IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts, 0);
    readTimeouts_ = NT_SUCCESS(set.Status) ? std::optional<ReadKind>(kind) : std::nullopt;
}

void PtyPort::PostWait()
{
    wait_ = file_->StartDeviceControl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
    const std::uint64_t serial = ++serial_;
    waitSerial_ = serial;
    std::weak_ptr<PtyPort> weak = shared_from_this();
    PtyBridge& bridge = bridge_;
    wait_->OnComplete([&bridge, weak, serial](const host::IoResult& result) {
        bridge.Post([weak, serial, status = result.Status] {
            if (auto port = weak.lock()) port->OnWaitDone(serial, status);
        });
    });
}

// Bytes arrived while no read was pending. A waiting read posted since then
// found them held and would sit until its timer: it is called off, and a
// draining read takes them.
void PtyPort::OnWaitDone(std::uint64_t serial, NTSTATUS status)
{
    if (serial != waitSerial_) return;  // a wait of an ended session
    wait_.reset();
    if (!NT_SUCCESS(status)) {
        bridge_.Log().Warning(name_ + ": the data wait ended with status " + Status(status));
        return;
    }
    heldMaybe_ = true;
    if (read_ && readKind_ == ReadKind::Waiting) CallOffRead();
    PumpFromPort();
}

// Completes the pending read with STATUS_CANCELLED; the held bytes stay.
void PtyPort::CallOffRead()
{
    const ULONG noFlags = 0;
    file_->DeviceControl(IOCTL_SERIAL_PURGE, &noFlags, sizeof noFlags, 0);
}

void PtyPort::PostRead(ReadKind kind)
{
    UseReadTimeouts(kind);
    readKind_ = kind;
    read_ = file_->StartRead(kLongestPortRead);
    const std::uint64_t serial = ++serial_;
    readSerial_ = serial;
    std::weak_ptr<PtyPort> weak = shared_from_this();
    PtyBridge& bridge = bridge_;
    read_->OnComplete([&bridge, weak, serial](const host::IoResult& result) {
        auto port = weak.lock();
        if (!port) return;
        const std::size_t delivered = port->DeliverNow(result);
        bridge.Post([port, serial, status = result.Status, data = result.Data, delivered]() mutable {
            port->OnRead(serial, status, std::move(data), delivered);
        });
    });
}

// In the thread that completed the read: the bytes go to the master at
// once, without waiting for the loop. Nothing else writes the master
// meanwhile (the loop posts a read only once its own bytes are out), and
// the loop closes the way here before the program or the pseudo-terminal
// goes. Returns the bytes written; the loop sends the rest.
std::size_t PtyPort::DeliverNow(const host::IoResult& result)
{
    if (!NT_SUCCESS(result.Status) || result.Data.empty()) return 0;
    std::lock_guard<std::mutex> lock(deliveryMutex_);
    if (deliveryFd_ < 0) return 0;
    const ssize_t written = write(deliveryFd_, result.Data.data(), result.Data.size());
    return written > 0 ? static_cast<std::size_t>(written) : 0;
}

void PtyPort::SetDelivery(int masterFd)
{
    std::lock_guard<std::mutex> lock(deliveryMutex_);
    deliveryFd_ = masterFd;
}

void PtyPort::OnRead(std::uint64_t serial, NTSTATUS status, std::vector<std::uint8_t> data, std::size_t delivered)
{
    if (serial != readSerial_) return;  // a read of an ended session
    read_.reset();
    if (status == STATUS_CANCELLED) {
        PumpFromPort();  // called off by OnWaitDone
        return;
    }
    if (!NT_SUCCESS(status)) {
        bridge_.Log().Warning(name_ + ": a read ended with status " + Status(status));
        return;
    }
    if (data.empty()) {
        // A waiting read ran out: the port is idle, and the wait alone
        // watches it. (An empty draining read means nothing was held.)
        if (readKind_ == ReadKind::Waiting) active_ = false;
    } else {
        active_ = true;
        if (data.size() == kLongestPortRead) heldMaybe_ = true;  // more may be left
        if (programPresent_ && delivered < data.size()) {
            toProgram_ = std::move(data);
            toProgramSent_ = delivered;
            FlushToProgram();
        }
    }
    PumpFromPort();
}

// Keeps one request watching for bytes from the module while the master
// takes them. An active port keeps a waiting read pending, which arrivals
// complete directly. The wait catches arrivals while no read is pending;
// bytes it reports are taken by a draining read, which completes at once
// with everything held. An idle port has only the wait pending.
void PtyPort::PumpFromPort()
{
    if (phase_ != Phase::Open || !programPresent_ || !toProgram_.empty() || read_) return;
    if (!wait_) {
        PostWait();
        heldMaybe_ = true;  // bytes may have arrived while no wait was armed
    }
    if (heldMaybe_) {
        heldMaybe_ = false;
        PostRead(ReadKind::Draining);
    } else if (active_) {
        PostRead(ReadKind::Waiting);
    }
}

// Never writes while no program holds the slave: the tty would keep the
// bytes for the next program.
void PtyPort::FlushToProgram()
{
    while (programPresent_ && toProgramSent_ < toProgram_.size()) {
        const ssize_t written = write(pty_->Master(), toProgram_.data() + toProgramSent_,
                                      toProgram_.size() - toProgramSent_);
        if (written < 0) {
            if (errno != EAGAIN) toProgram_.clear();  // EIO: the program is gone; its hangup follows
            break;
        }
        toProgramSent_ += static_cast<std::size_t>(written);
    }
    if (toProgramSent_ >= toProgram_.size()) {
        toProgram_.clear();
        toProgramSent_ = 0;
    }
    UpdateInterest();
}

void PtyPort::UpdateInterest()
{
    if (!programPresent_) return;
    std::uint32_t wanted = 0;
    if (writeBytesInFlight_ < kWriteWindow) wanted |= EPOLLIN;
    if (!toProgram_.empty()) wanted |= EPOLLOUT;
    if (wanted != interest_) {
        interest_ = wanted;
        bridge_.ChangeMaster(pty_->Master(), interest_);
    }
}

}  // namespace zelvcomd
