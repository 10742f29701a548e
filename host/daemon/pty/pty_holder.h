// Which processes hold pseudo-terminal slaves: the programs on the ports,
// as /proc tells it. A slave no other process holds, or one held where
// /proc does not let the daemon see (another user's processes, say), has
// no holder.
#pragma once

#include <sys/types.h>

#include <map>
#include <set>
#include <string>

namespace zelvcomd {

struct PtyHolder {
    pid_t Pid = 0;
    std::string Program;
};

// The newest process holding each slave (a program that just opened a port
// is likely among the newest), in one pass over the processes that ends
// once each has been found; the daemon itself is not counted.
std::map<std::string, PtyHolder> FindPtyHolders(const std::set<std::string>& slavePaths);
// What the process's descriptors lead to; empty when /proc will not say.
std::set<std::string> OpenFiles(pid_t pid);
// The process's name (its comm), or empty.
std::string ProgramName(pid_t pid);

}  // namespace zelvcomd
