#include "pty_port.h"

#include "port_link.h"
#include "pty_holder.h"
#include "pty_bridge.h"

#include <ntddser.h>

#include <sys/epoll.h>

#include <cstring>

namespace zelvcomd {
namespace {

// How long a worker that emptied the master waits for more before it
// leaves the port to the loop.
constexpr std::chrono::milliseconds kUploadLinger{20};

}  // namespace

PtyPort::PtyPort(PtyBridge& bridge, std::string comName)
    : bridge_(bridge), name_(std::move(comName))
{
}

std::filesystem::path PtyPort::LinkPath() const
{
    return bridge_.Options().Directory / name_;
}

void PtyPort::Publish()
{
    CreatePty();
}

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
    StopDownload();
    if (programPresent_) {
        bridge_.ForgetMaster(pty_->Master());
        programPresent_ = false;
        interest_ = 0;
    }
    carried_.clear();
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
    if (retired_)
        return;
    retired_ = true;
    if (upload_)
        upload_->Abandon();
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

bool PtyPort::Quiet() const
{
    return retired_ && !strandRunning_;
}

// ---- opening and closing the port ---------------------------------------

void PtyPort::OnSlaveOpened()
{
    if (retired_)
        return;
    if (selfOpens_ > 0) {
        // The daemon's own open. The watch merges opens not yet taken into
        // one event, so a program's open may be in it too: a program holding
        // the slave now tells.
        --selfOpens_;
        if (!pty_->SlaveHeld())
            return;
    }
    switch (phase_) {
    case Phase::Idle:
        BeginOpen();
        break;
    case Phase::Opening:
        break;
    case Phase::Open:
        // A program came while the last one's bytes were still going out.
        if (!programPresent_)
            reopenWanted_ = true;
        break;
    case Phase::Closing:
        reopenWanted_ = true;
        break;
    }
}

void PtyPort::CheckForProgram()
{
    if (retired_ || phase_ != Phase::Idle || !pty_ || !pty_->SlaveHeld())
        return;
    BeginOpen();
}

void PtyPort::BeginOpen()
{
    phase_ = Phase::Opening;
    reopenWanted_ = false;
    auto self = shared_from_this();
    const std::string slave = pty_ ? pty_->SlavePath() : std::string();
    Submit([self, slave] {
        const Opener program{zelipc::PortOpener::Program, 0, "", slave};
        std::unique_ptr<host::File> opened;
        NTSTATUS status = self->bridge_.Ledger().Open(self->bridge_.Kernel(),
                                                      "\\\\.\\" + self->name_, program, &opened);
        std::shared_ptr<host::File> file(std::move(opened));
        SERIAL_TIMEOUTS timeouts{};
        if (NT_SUCCESS(status)) {
            status = PortDownload::Prepare(*file, 0, &timeouts);
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
        bridge_.Log().Warning(name_ + ": the port did not open: " +
                              bridge_.Ledger().WhyNotOpened("\\\\.\\" + name_, status) +
                              "; the program sees a hangup and its next open tries again");
        HangUp();
        return;
    }
    file_ = std::move(file);
    phase_ = Phase::Open;
    try {
        upload_ = std::make_shared<PortUpload>(file_, pty_->Master(), bridge_.Options().ClosingWait,
                                               bridge_.Log(), name_);
        download_ = std::make_shared<PortDownload>(bridge_.Kernel(), file_, pty_->Master(),
                                                   baseTimeouts_, bridge_.Log(), name_);
        download_->WatchMaster();
    } catch (const std::exception& error) {
        bridge_.Log().Error(name_ + ": " + error.what() + "; the program sees a hangup");
        EndSession();
        HangUp();
        return;
    }
    programPresent_ = true;
    interest_ = EPOLLIN;
    bridge_.WatchMaster(pty_->Master(), interest_, this);
    bridge_.FindHolder(shared_from_this(), pty_->SlavePath());
    auto upload = upload_;
    Submit([upload, carried = std::move(carried_)] {
        upload->ApplyLineSettings();
        if (!carried.empty())
            upload->Send(carried);
        return [] {};
    });
    carried_.clear();
    download_->Start();
}

void PtyPort::OnHolderFound(const std::string& slave, const std::optional<PtyHolder>& holder)
{
    std::string who;
    if (holder) {
        who = " (" + holder->Program + ", pid " + std::to_string(holder->Pid) + ")";
        if (const auto number = ComNumberOf("\\\\.\\" + name_))
            bridge_.Ledger().ProgramFound(*number, slave, *holder);
    }
    bridge_.Log().Info(name_ + ": opened by a program" + who + " on " + slave);
}

void PtyPort::EndSession()
{
    StopDownload();
    std::shared_ptr<PortDownload> download = std::move(download_);
    download_.reset();
    std::shared_ptr<PortUpload> upload = std::move(upload_);
    upload_.reset();  // queued turns keep what they need
    if (upload)
        upload->Stop();
    phase_ = Phase::Closing;
    std::shared_ptr<host::File> file = std::move(file_);
    file_.reset();
    auto self = shared_from_this();
    Submit([self, file, download, upload]() mutable {
        if (download)
            download->AwaitRequests();
        file->Close();
        std::vector<std::uint8_t> carried;
        if (upload)
            carried = upload->TakeCarried();
        upload.reset();  // its copy of the master goes before the port counts as closed
        return [self, carried] {
            self->carried_ = carried;
            self->OnClosed();
        };
    });
}

void PtyPort::OnClosed()
{
    phase_ = Phase::Idle;
    if (retired_)
        return;
    bridge_.Log().Info(name_ + ": closed");
    // Bytes a program wrote after the last session's program left go out in
    // a session of their own, even if that program has left too.
    if (reopenWanted_ || !carried_.empty()) {
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
    if ((events & EPOLLIN) != 0)
        StartUpload();
    // The hangup is checked again: it is what ends the session.
    if ((events & (EPOLLHUP | EPOLLERR)) != 0 && programPresent_ && !pty_->SlaveHeld()) {
        ProgramGone();
    }
}

void PtyPort::StartUpload()
{
    if (uploading_ || !upload_)
        return;
    uploading_ = true;
    UpdateInterest();
    SubmitUploadTurn();
}

// While other workers are free, a turn goes on past its bound, and once it
// has emptied the master it stays a while for what the program writes next
// (the answer to what the module sent back, say): the bytes then go out
// without waiting for the loop and a worker to wake in turn.
void PtyPort::SubmitUploadTurn()
{
    auto upload = upload_;
    auto self = shared_from_this();
    Submit([self, upload] {
        PortUpload::Outcome outcome = upload->TakeTurn();
        auto goOn = [&] {
            const bool turnOver =
                outcome == PortUpload::Outcome::Ended || outcome == PortUpload::Outcome::Superseded;
            if (turnOver || upload->Stopped() || !self->bridge_.WorkersToSpare()) {
                return false;
            }
            return outcome == PortUpload::Outcome::More || upload->AwaitInput(kUploadLinger);
        };
        while (goOn()) {
            outcome = upload->TakeTurn();
        }
        return [self, outcome] { self->OnUploadTurn(outcome); };
    });
}

void PtyPort::OnUploadTurn(PortUpload::Outcome outcome)
{
    uploading_ = false;
    if (retired_ || phase_ != Phase::Open)
        return;
    if (!programPresent_) {
        DrainAfterProgram();
    } else if (outcome == PortUpload::Outcome::Ended) {
        ProgramGone();
    } else {
        UpdateInterest();  // the master's input is watched again
    }
}

void PtyPort::ProgramGone()
{
    StopDownload();
    bridge_.ForgetMaster(pty_->Master());
    programPresent_ = false;
    interest_ = 0;
    // Before the upload learns that the program left: from then on a turn
    // takes whoever holds the slave for the next program, the daemon's own
    // open here too, and would carry this program's bytes into the next
    // session instead of sending or dropping them.
    DiscardLeftovers();
    if (upload_)
        upload_->ProgramLeft();
    bridge_.Log().Debug(name_ + ": the last program closed the port");
    DrainAfterProgram();
}

// What the program wrote before it closed still goes to the module; then
// the port closes. A program that opens meanwhile is served by the next
// open, which sends what it wrote (see PortUpload::ProgramLeft).
void PtyPort::DrainAfterProgram()
{
    if (phase_ != Phase::Open || uploading_)
        return;  // the turn under way ends it
    auto upload = upload_;
    Submit([upload] {
        while (upload->TakeTurn() == PortUpload::Outcome::More) {
        }
        return [] {};
    });
    EndSession();
}

// ---- module to program ---------------------------------------------------

// Never writes to the master once this returns: the program has gone, or
// the pseudo-terminal goes.
void PtyPort::StopDownload()
{
    if (download_)
        download_->Stop();
}

void PtyPort::UpdateInterest()
{
    if (!programPresent_)
        return;
    const std::uint32_t wanted = uploading_ ? 0u : static_cast<std::uint32_t>(EPOLLIN);
    if (wanted != interest_) {
        interest_ = wanted;
        bridge_.ChangeMaster(pty_->Master(), interest_);
    }
}

}  // namespace zelvcomd
