// zelmodsim's command socket, asked how many data bytes a channel has taken:
// the module's own word that uploaded bytes have arrived.
#pragma once

#include <host/common/unique_fd.h>
#include "file_watch.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace zelbench {

class SimulatorStats {
public:
    // Connects to the simulator's --command-socket and watches its log
    // (its standard output, a file); throws naming the path.
    SimulatorStats(std::string socketPath, const std::string& logPath);

    // Bytes channel (1 = first) has taken since the simulator started,
    // over all its connections.
    std::uint64_t Received(int channel);

    // Returns once channel has taken target bytes in all. Asks again each
    // time the log grows (a line per read taken): no spinning, which would
    // take processor time from the path measured, and no sleeping, which
    // would blur the time. Throws after kIdleTimeout without progress.
    void AwaitReceived(int channel, std::uint64_t target);

private:
    std::string Ask(std::string_view command);
    std::string ReadLine();

    std::string path_;
    zel::UniqueFd socket_;
    std::string unread_;
    FileWatch log_;
};

}  // namespace zelbench
