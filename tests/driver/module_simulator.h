// zelmodsim as the far end of the driver's connections: run as a child
// process for one test, its READY line read for the ports it listens on,
// commands written to its stdin, its event lines waited for.
#pragma once

#include "support/deadline.h"
#include "support/process.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zeltest {

class ModuleSimulator {
public:
    // Channel setups as zelmodsim's --channel takes them without the port
    // ("echo", "sink", "source=FILE", ...); every port is chosen by the system.
    explicit ModuleSimulator(const std::vector<std::string>& channelModes);

    std::uint16_t ControlPort() const { return control_; }
    // number counts from 1, as in zelmodsim's commands.
    std::uint16_t ChannelPort(int number) const;

    // Sends a command and returns its result line ("ok ..." or "error: ...").
    std::string Command(const std::string& line);

    // Waits for the next output line (not yet waited for) that begins with prefix.
    bool SawPrefix(const std::string& prefix,
                   const zel::test::Deadline& deadline = zel::test::Deadline());

    // Waits for the next output line (not yet waited for) that is exactly line.
    bool Saw(const std::string& line, const zel::test::Deadline& deadline = zel::test::Deadline());

    // Waits for the next output line (not yet waited for) that match accepts.
    bool SawMatching(const zel::test::LineCollector::Match& match,
                     const zel::test::Deadline& deadline = zel::test::Deadline());

    // Everything printed so far, for failure messages.
    std::string Output() { return process_.Stdout().Text(); }

    // How many output lines so far are exactly line; waits for nothing.
    int CountPrinted(const std::string& line);

private:
    zel::test::ChildProcess process_;
    std::uint16_t control_ = 0;
    std::vector<std::uint16_t> channels_;
};

}  // namespace zeltest
