#include "port_download.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zelvcomd {
namespace {

// The most the driver holds for a port; one read takes all of it.
constexpr ULONG kLongestPortRead = 2047;
// Draining reads gather at most this much before it goes to the master in
// one write.
constexpr std::size_t kLongestGather = 8 * kLongestPortRead;
// Any value but 0 and MAXULONG makes a read wait for its timer rather than
// answer at once with nothing.
constexpr ULONG kReadWaitsForTimer = 1;
// The driver's longest read wait: one second.
constexpr ULONG kLongestReadWaitMs = 1000;

}  // namespace

PortDownload::PortDownload(host::Kernel& kernel, std::shared_ptr<host::File> file, int masterFd,
                           const SERIAL_TIMEOUTS& baseTimeouts, Logger& log, std::string name)
    : kernel_(kernel),
      file_(std::move(file)),
      baseTimeouts_(baseTimeouts),
      log_(log),
      name_(std::move(name)),
      masterFd_(masterFd)
{
}

// The read timeouts are set per read.
NTSTATUS PortDownload::Prepare(host::File& file, ULONG moreEvents, SERIAL_TIMEOUTS* baseTimeouts)
{
    host::IoResult current =
        file.DeviceControl(IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, sizeof(SERIAL_TIMEOUTS));
    if (!NT_SUCCESS(current.Status))
        return current.Status;
    std::memcpy(baseTimeouts, current.Data.data(), sizeof *baseTimeouts);
    // RXFLAG completes a pending wait when data arrives.
    const ULONG mask = SERIAL_EV_RXFLAG | moreEvents;
    return file.DeviceControl(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask, 0).Status;
}

void PortDownload::WatchMaster()
{
    std::weak_ptr<PortDownload> weak = weak_from_this();
    room_ = kernel_.WatchForRoom(masterFd_, [weak] {
        if (auto self = weak.lock())
            self->MasterWritable();
    });
}

void PortDownload::Start()
{
    Pump();
}

void PortDownload::MasterWritable()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        masterFull_ = false;
    }
    Pump();
}

void PortDownload::Send(const std::vector<std::uint8_t>& bytes)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopped_)
            return;
        toProgram_.insert(toProgram_.end(), bytes.begin(), bytes.end());
    }
    Pump();
}

void PortDownload::Hold(bool held)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        held_ = held;
    }
    Pump();
}

void PortDownload::Stop()
{
    std::shared_ptr<host::PendingIo> read;
    std::shared_ptr<host::PendingIo> wait;
    std::unique_ptr<host::RoomWatch> room;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (stopped_)
            return;
        stopped_ = true;
        idle_.wait(lock, [this] { return !pumping_; });
        masterFd_ = -1;
        room = std::move(room_);
        read = std::move(read_);
        wait = std::move(wait_);
        readSerial_ = waitSerial_ = 0;
        toProgram_.clear();
        calledOff_ = {read, wait};
    }
    // A read has no cancel routine: a purge ends it at once, rather than its
    // timer up to a second later. The wait is cancelled.
    if (read)
        CallOffRead();
    if (wait)
        wait->Cancel();
}

void PortDownload::AwaitRequests()
{
    std::vector<std::shared_ptr<host::PendingIo>> requests;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests.swap(calledOff_);
    }
    for (const auto& request : requests) {
        if (request)
            request->Wait();
    }
}

// ---- the pump ------------------------------------------------------------

// Whoever finds nobody pumping pumps until nothing is left to do; the
// driver is called with the lock released.
void PortDownload::Pump()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (pumping_ || stopped_)
            return;
        pumping_ = true;
    }
    for (;;) {
        Step step = Step::None;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            step = NextStep();
            if (step == Step::None) {
                pumping_ = false;
                idle_.notify_all();
                return;
            }
        }
        Perform(step);
    }
}

// Keeps one request watching for bytes from the module while the master
// takes them. An active port keeps a waiting read pending, which arrivals
// complete directly. The wait catches arrivals while no read is pending;
// bytes it reports are taken by a draining read, which completes at once
// with everything held. Called with the lock held.
PortDownload::Step PortDownload::NextStep()
{
    if (stopped_)
        return Step::None;
    TakeReadResult();
    const bool arrival = TakeWaitResult();
    if (modemChanged_) {
        modemChanged_ = false;
        return Step::ModemChanged;
    }
    // A waiting read posted before the wait heard of held bytes would sit
    // until its timer: it is called off, and a draining read takes them.
    if (arrival && read_ && readKind_ == ReadKind::Waiting)
        return Step::CallOffRead;
    // Bytes are written before a waiting read is posted; a draining read
    // completes at once, and what it takes goes to the master in the same
    // write as the bytes before it. Only the daemon's own bytes can be
    // waiting while a waiting read is pending: they go at once.
    if (read_) {
        if (readKind_ == ReadKind::Waiting)
            FlushToProgram();
        return Step::None;
    }
    if (!wait_) {
        heldMaybe_ = true;  // bytes may have arrived while no wait was armed
        return Step::PostWait;
    }
    if (heldMaybe_ && !masterFull_ && toProgram_.size() + kLongestPortRead <= kLongestGather) {
        heldMaybe_ = false;
        return Step::PostDrainingRead;
    }
    if (!FlushToProgram())
        return Step::None;
    if (heldMaybe_) {
        heldMaybe_ = false;
        return Step::PostDrainingRead;
    }
    return active_ ? Step::PostWaitingRead : Step::None;
}

void PortDownload::Perform(Step step)
{
    switch (step) {
    case Step::PostWait:
        PostWait();
        break;
    case Step::PostWaitingRead:
        PostRead(ReadKind::Waiting);
        break;
    case Step::PostDrainingRead:
        PostRead(ReadKind::Draining);
        break;
    case Step::CallOffRead:
        CallOffRead();
        break;
    case Step::ModemChanged:
        onModemChange_();
        break;
    case Step::None:
        break;
    }
}

void PortDownload::TakeReadResult()
{
    if (!readResult_)
        return;
    host::IoResult result = std::move(*readResult_);
    readResult_.reset();
    if (result.Status == STATUS_CANCELLED)
        return;  // called off for a draining read
    if (!NT_SUCCESS(result.Status)) {
        // Only the wait watches the port until data comes again.
        active_ = false;
        log_.Warning(name_ + ": a read ended with status " + StatusText(result.Status));
        return;
    }
    if (result.Data.empty()) {
        // A waiting read ran out: the port is idle, and the wait alone
        // watches it. (An empty draining read means nothing was held.)
        if (readKind_ == ReadKind::Waiting)
            active_ = false;
        return;
    }
    active_ = true;
    if (result.Data.size() == kLongestPortRead)
        heldMaybe_ = true;  // more may be left
    if (encode_) {
        encode_(result.Data.data(), result.Data.size(), &toProgram_);
    } else {
        toProgram_.insert(toProgram_.end(), result.Data.begin(), result.Data.end());
    }
}

// True when the wait reported an arrival.
bool PortDownload::TakeWaitResult()
{
    if (!waitResult_)
        return false;
    const host::IoResult result = std::move(*waitResult_);
    waitResult_.reset();
    if (!NT_SUCCESS(result.Status)) {
        log_.Warning(name_ + ": the data wait ended with status " + StatusText(result.Status));
        return false;
    }
    ULONG events = 0;
    if (result.Data.size() >= sizeof events)
        std::memcpy(&events, result.Data.data(), sizeof events);
    if ((events & SERIAL_EV_CTS) != 0 && onModemChange_)
        modemChanged_ = true;
    heldMaybe_ = true;
    return true;
}

// False while bytes wait for the master to take them (the room watch says
// when it does) or when the program has gone.
bool PortDownload::FlushToProgram()
{
    if (masterFull_ || held_)
        return false;
    while (toProgramSent_ < toProgram_.size()) {
        const ssize_t written = write(masterFd_, toProgram_.data() + toProgramSent_,
                                      toProgram_.size() - toProgramSent_);
        if (written < 0) {
            if (errno != EAGAIN) {
                toProgram_.clear();  // EIO: the program is gone; the loop sees its hangup
                toProgramSent_ = 0;
                return false;
            }
            masterFull_ = true;
            room_->Arm();
            return false;
        }
        toProgramSent_ += static_cast<std::size_t>(written);
    }
    toProgram_.clear();
    toProgramSent_ = 0;
    return true;
}

// ---- requests --------------------------------------------------------------

// Reads wait for their timer: the two kinds differ only in how long. The
// port is switched between them as needed.
void PortDownload::UseReadTimeouts(ReadKind kind)
{
    if (readTimeouts_ == kind)
        return;
    SERIAL_TIMEOUTS timeouts = baseTimeouts_;
    timeouts.ReadIntervalTimeout = kind == ReadKind::Waiting ? kLongestReadWaitMs : 0;
    timeouts.ReadTotalTimeoutConstant = kReadWaitsForTimer;
    const host::IoResult set =
        file_->DeviceControl(IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts, 0);
    readTimeouts_ = NT_SUCCESS(set.Status) ? std::optional<ReadKind>(kind) : std::nullopt;
}

void PortDownload::PostWait()
{
    std::shared_ptr<host::PendingIo> wait =
        file_->StartDeviceControl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
    std::uint64_t serial = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        wait_ = wait;
        serial = waitSerial_ = ++serial_;
    }
    Route(*wait, serial, &PortDownload::OnWaitDone);
}

void PortDownload::PostRead(ReadKind kind)
{
    UseReadTimeouts(kind);
    std::shared_ptr<host::PendingIo> read = file_->StartRead(kLongestPortRead);
    std::uint64_t serial = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        read_ = read;
        readKind_ = kind;
        serial = readSerial_ = ++serial_;
    }
    Route(*read, serial, &PortDownload::OnReadDone);
}

// The completion goes to done, unless the download has gone meanwhile.
void PortDownload::Route(host::PendingIo& io, std::uint64_t serial, Completion done)
{
    std::weak_ptr<PortDownload> weak = weak_from_this();
    io.OnComplete([weak, serial, done](const host::IoResult& result) {
        if (auto self = weak.lock())
            ((*self).*done)(serial, result);
    });
}

// Completes the pending read with STATUS_CANCELLED; the held bytes stay.
void PortDownload::CallOffRead()
{
    const ULONG noFlags = 0;
    file_->DeviceControl(IOCTL_SERIAL_PURGE, &noFlags, sizeof noFlags, 0);
}

void PortDownload::OnReadDone(std::uint64_t serial, const host::IoResult& result)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (serial != readSerial_)
            return;  // called off by Stop
        read_.reset();
        readResult_ = result;
    }
    Pump();
}

void PortDownload::OnWaitDone(std::uint64_t serial, const host::IoResult& result)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (serial != waitSerial_)
            return;  // cancelled by Stop
        wait_.reset();
        waitResult_ = result;
    }
    Pump();
}

}  // namespace zelvcomd
