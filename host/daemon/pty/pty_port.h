// One COM port served as a pseudo-terminal. The first program to open the
// slave opens the port; bytes then flow both ways until the last program
// closes it, and the port is closed again.
//
// Module to program: see PortDownload. Program to module: see PortUpload;
// while one of its turns is queued or running, the loop leaves the master's
// input alone.
//
// Everything here runs on the bridge's event loop, except the jobs handed
// to the port's strand (open, upload turns, close), which run in order on a
// worker thread because the driver blocks in them, and the session's
// PortDownload.
#pragma once

#include "port_download.h"
#include "port_upload.h"
#include "pty_holder.h"
#include "pty_pair.h"

#include <host/kernel.h>
#include <ntddser.h>

#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace zelvcomd {

class PtyBridge;

class PtyPort : public std::enable_shared_from_this<PtyPort> {
public:
    PtyPort(PtyBridge& bridge, std::string comName);

    const std::string& Name() const { return name_; }
    std::filesystem::path LinkPath() const;

    // Creates the pseudo-terminal and its link. Throws on failure.
    void Publish();
    // The port device went away or the daemon stops: the link and the
    // pseudo-terminal go at once (a program holding it sees a hangup); an
    // open port is closed.
    void Retire();
    // Retired and no job left.
    bool Quiet() const;

    void OnSlaveOpened();
    void OnMasterEvents(std::uint32_t events);
    // Opens an idle port when a program holds the slave: after the slave
    // watch lost events, and after a session ended.
    void CheckForProgram();
    // Who opened the slave at path, looked up after the open; for the log
    // and the port's status.
    void OnHolderFound(const std::string& slave, const std::optional<PtyHolder>& holder);

private:
    enum class Phase { Idle, Opening, Open, Closing };
    // Runs on a worker; returns what to run on the loop afterwards.
    using Job = std::function<std::function<void()>()>;

    void Submit(Job job);
    void StartJobs();
    void RunJobs();
    void OnJobsDone();

    void CreatePty();
    void DropPty();
    void HangUp();

    void BeginOpen();
    void OnOpened(NTSTATUS status, std::shared_ptr<host::File> file);
    void EndSession();
    void OnClosed();
    void DiscardLeftovers();

    void StartUpload();
    void SubmitUploadTurn();
    void OnUploadTurn(PortUpload::Outcome outcome);
    void ProgramGone();
    void DrainAfterProgram();

    void StopDownload();
    void UpdateInterest();

    PtyBridge& bridge_;
    const std::string name_;
    std::optional<PtyPair> pty_;
    int watch_ = -1;
    unsigned selfOpens_ = 0;  // the daemon's own opens of the slave, still to be seen by the watch

    Phase phase_ = Phase::Idle;
    bool retired_ = false;
    bool reopenWanted_ = false;
    bool programPresent_ = false;  // the master is in the event loop
    std::uint32_t interest_ = 0;
    std::shared_ptr<host::File> file_;

    std::mutex strandMutex_;  // guards jobs_, shared with the strand's worker
    std::deque<Job> jobs_;
    bool strandRunning_ = false;  // a worker has the strand (loop only)

    std::shared_ptr<PortDownload> download_;  // while a program has the port open
    SERIAL_TIMEOUTS baseTimeouts_{};
    std::shared_ptr<PortUpload> upload_;  // while the port is open
    bool uploading_ = false;              // an upload turn is queued or running
    std::vector<std::uint8_t> carried_;   // read for the next session, which sends it first
};

}  // namespace zelvcomd
