// zelmodsim's command socket: commands sent to it, and how many data bytes a
// channel has taken asked of it (the module's own word that uploaded bytes
// have arrived).
#pragma once

#include <host/common/unique_fd.h>
#include "file_watch.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace zelbench {

// zelmodsim's --command-socket: a command sent, its result line read back.
class SimulatorCommands {
public:
    // Connects; throws naming the path.
    explicit SimulatorCommands(std::string socketPath);

    // The result line ("ok ..." or "error: ..."); throws when the simulator
    // does not answer within kIdleTimeout.
    std::string Ask(std::string_view command);

private:
    std::string ReadLine();

    std::string path_;
    zel::UniqueFd socket_;
    std::string unread_;
};

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
    SimulatorCommands commands_;
    FileWatch log_;
};

}  // namespace zelbench
