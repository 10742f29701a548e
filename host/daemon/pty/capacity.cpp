#include "capacity.h"

#include <sys/resource.h>

#include <fstream>
#include <string>

namespace zelvcomd {
namespace {

// 256 modules of 8 channels.
constexpr unsigned long kFullTable = 2048;
// An open port: its master, the master's duplicates its upload reads and
// the transport watches for room, its data connection, and a share of its
// module's control connection.
constexpr unsigned long kDescriptorsPerPort = 5;
// The daemon itself: logs, database, sockets, epoll, clients.
constexpr unsigned long kReservedDescriptors = 512;
constexpr char kPtyMaxFile[] = "/proc/sys/kernel/pty/max";

unsigned long RaiseOpenFileLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    return static_cast<unsigned long>(limit.rlim_cur);
}

unsigned long SystemPtyLimit()
{
    std::ifstream file(kPtyMaxFile);
    unsigned long limit = 0;
    file >> limit;
    return limit;
}

}  // namespace

void PrepareCapacity(Logger& log)
{
    const unsigned long files = RaiseOpenFileLimit();
    const unsigned long byFiles =
        files > kReservedDescriptors ? (files - kReservedDescriptors) / kDescriptorsPerPort : 0;
    const unsigned long ptys = SystemPtyLimit();
    log.Info("open-file limit " + std::to_string(files) + " (room for about " +
             std::to_string(byFiles) + " open ports), pseudo-terminal limit " +
             std::to_string(ptys));
    if (byFiles < kFullTable) {
        log.Warning("the open-file limit is too low for " + std::to_string(kFullTable) +
                    " ports: raise it to " +
                    std::to_string(kFullTable * kDescriptorsPerPort + kReservedDescriptors) +
                    " (ulimit -n, or LimitNOFILE= in the service unit)");
    }
    if (ptys != 0 && ptys < kFullTable) {
        log.Warning("the system allows only " + std::to_string(ptys) +
                    " pseudo-terminals: raise it with sysctl kernel.pty.max");
    }
}

}  // namespace zelvcomd
