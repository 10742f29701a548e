// What the daemon sees of each COM port, apart from the driver: who has it
// open, the bytes each way, the module's data connection going away and
// coming back (the driver's own reports in the log), and the last thing
// that went wrong, in words. Every opener (a program on the pseudo-
// terminal, a zelwin32 client, an RFC 2217 client) reaches a port through
// Open, so all are counted alike. Kept for the daemon's life. Any thread.
#pragma once

#include "pty/pty_holder.h"

#include <host/common/non_copyable.h>
#include <host/kernel.h>
#include <zelvcom_ipc/protocol.h>

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace zelvcomd {

struct Opener {
    zelipc::PortOpener Kind = zelipc::PortOpener::None;
    pid_t Pid = 0;        // 0: unknown
    std::string Program;  // read from /proc when empty and the pid is known
    std::string Where;    // the pseudo-terminal, or the RFC 2217 client's address
};

class PortLedger : zel::NonCopyable {
public:
    PortLedger();
    ~PortLedger();

    // Opens "\\.\NAME" as Kernel::Open does. A COM port's file counts the
    // bytes its reads and writes move, and the port counts as opened by
    // opener until the file is closed.
    NTSTATUS Open(host::Kernel& kernel, const std::string& name, Opener opener,
                  std::unique_ptr<host::File>* file);

    // Why an open of "\\.\NAME" failed with status, in words, the status
    // after them; for a port held by another opener, who holds it.
    std::string WhyNotOpened(const std::string& name, NTSTATUS status);

    // A line of the host's log; the driver's reports on a port's data
    // connection are taken from it.
    void OnKernelLog(const std::string& line);

    // What has been seen of each of the ports. A program's pid is looked up
    // again when it no longer holds the pseudo-terminal (another may now).
    std::vector<zelipc::PortReport> Reports(const std::vector<std::uint32_t>& comNumbers);
    // The program on COM<number>'s pseudo-terminal where, found after the
    // open.
    void ProgramFound(std::uint32_t comNumber, const std::string& where, const PtyHolder& holder);

    class Port;

private:
    std::shared_ptr<Port> PortOf(std::uint32_t comNumber);

    std::mutex mutex_;
    std::map<std::uint32_t, std::shared_ptr<Port>> ports_;
};

// n of "\\.\COM<n>" (any case, as the object namespace takes it); nothing
// for other names.
std::optional<std::uint32_t> ComNumberOf(const std::string& dosName);

// An NT status as words, for people.
std::string StatusWords(NTSTATUS status);

}  // namespace zelvcomd
